// constants.h - the numbers the library's physics and transforms share.
#ifndef SONVAR_BASE_CONSTANTS_H
#define SONVAR_BASE_CONSTANTS_H

namespace sonvar {

// pi and 2 pi as the nearest doubles (M_PI and twice it).
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
// pi squared as the nearest double (kPi * kPi rounds to it).
constexpr double kPiSquared = 9.869604401089358;

// 2 pi cut to 15 significant digits, 6.28318530717959 (2.6e-15 above
// kTwoPi): the angle step of the radix-2 FFT (signals/fft.cpp) has always
// been formed with it, and every spectrum, convolution by transforms and
// regression reference depends on those twiddles to the last bit. Nothing
// else uses it.
constexpr double kTruncatedTwoPi = 6.28318530717959;

// Nepers per decibel of amplitude, ln(10) / 20 to the 11 digits the
// attenuation has always used: L dB is a factor exp(-kNepersPerDb L).
constexpr double kNepersPerDb = 0.11512925465;

}  // namespace sonvar

#endif  // SONVAR_BASE_CONSTANTS_H
