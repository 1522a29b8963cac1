// quadrature.h - the short Gauss-Legendre rule that the triangle and the
// line-bounded responses integrate short pieces of time with.
#ifndef SONVAR_BASE_QUADRATURE_H
#define SONVAR_BASE_QUADRATURE_H

namespace sonvar {

// Gauss-Legendre rule of 8 points on [0, 1]: the time integration of the
// triangle and line-bounded responses over pieces shorter than a twentieth
// of a sample (in the variable s of t = t_a + len s^2).
constexpr int kShortRulePoints = 8;
constexpr double kShortRuleNodes[kShortRulePoints] = {
    0.019855071751231856, 0.10166676129318658, 0.2372337950418355, 0.4082826787521751,
    0.591717321247825,    0.7627662049581645,  0.8983332387068135, 0.9801449282487682};
constexpr double kShortRuleWeights[kShortRulePoints] = {
    0.05061426814518809, 0.11119051722668723, 0.1568533229389437,  0.181341891689181,
    0.181341891689181,   0.1568533229389437,  0.11119051722668723, 0.05061426814518809};

}  // namespace sonvar

#endif  // SONVAR_BASE_QUADRATURE_H
