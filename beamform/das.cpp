// das.cpp - the calls of sonvar_beamform.h and the delay-and-sum on threads.
//
// Workers take tiles (blocks of at most kTilePixels neighbouring pixels, see
// grid.cpp) from a shared counter.
// For a tile and a group of up to kFrameGroup frames a worker finds each
// transmit's start sample and weight at the tile's pixels, runs the channel
// kernel for every receiving element and writes the sums into the image.
// Every pixel is summed by one worker in one fixed order (transmits, then
// elements), so the image does not depend on the number of threads. The
// working memory is a fixed set of tile-sized arrays per worker.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "internal.h"

namespace sonvar_bf {

namespace {

// A worker's arrays: a tile's pixels, their coordinates and receive depths,
// one transmit's start samples and weights, the sums of a group of frames.
struct Scratch {
  std::vector<int64_t> pixels = std::vector<int64_t>(kTilePixels);
  std::vector<double> x = tile(), y = tile(), z = tile(), half = tile(), depth_sq = tile();
  std::vector<double> start = tile(), weight = tile();
  std::vector<double> real = tile(kFrameGroup), imag = tile(kFrameGroup);
  static std::vector<double> tile(int times = 1) {
    return std::vector<double>(times * kTilePixels);
  }
};

class Beamformer {
 public:
  Beamformer(const Plan &plan, double *image)
      : plan_(plan),
        image_(image),
        kernel_(kernel_for(plan.vector_width, plan.iq, plan.interpolation, plan.geometry)),
        tiling_(tiling_of(plan.grid)),
        tiles_(tiling_.tiles) {}

  void run() {
    int64_t workers = plan_.threads ? plan_.threads : std::thread::hardware_concurrency();
    workers = std::max<int64_t>(1, std::min<int64_t>(workers, tiles_));
    std::vector<std::thread> threads;
    for (int64_t i = 1; i < workers; i++) {
      try {
        threads.emplace_back([this] { work(); });
      } catch (const std::system_error &) {
        break;  // fewer workers: the tiles are shared all the same
      }
    }
    work();
    for (std::thread &t : threads) t.join();
    if (failed_) throw failure_;
  }

 private:
  void work() {
    try {
      Scratch s;
      for (int64_t tile = next_++; tile < tiles_ && !failed_; tile = next_++) do_tile(tile, s);
    } catch (const std::bad_alloc &) {
      record(
          Failure{SONVAR_BF_NO_MEMORY, "memory: a worker's working arrays could not be allocated"});
    }
  }

  void record(const Failure &failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_) failure_ = failure;
    failed_ = true;
  }

  void do_tile(int64_t tile, Scratch &s) {
    const int n = tile_pixels(plan_.grid, tiling_, tile, s.pixels.data());
    const int width = plan_.vector_width;
    const int padded = (n + width - 1) / width * width;
    pixel_coordinates(plan_.grid, s.pixels.data(), n, padded, s.x.data(), s.y.data(), s.z.data());
    ChannelPass pass;
    pass.lanes = padded;
    pass.x = s.x.data(), pass.y = s.y.data(), pass.z = s.z.data();
    pass.start = s.start.data(), pass.tx_weight = s.weight.data();
    pass.geometry = plan_.geometry, pass.flat = plan_.flat, pass.two_d = plan_.two_d;
    if (plan_.geometry != kGeneral) {
      receive_depths(s, padded);
      pass.half = s.half.data(), pass.depth_sq = s.depth_sq.data();
    }
    pass.aperture = plan_.aperture;
    pass.fs_over_c = plan_.fs / plan_.sound_speed;
    pass.samples = plan_.samples;
    pass.cycles_per_sample = plan_.modulation_frequency / plan_.fs;
    pass.cycles_at_start = plan_.modulation_frequency * plan_.initial_time;
    pass.turns = plan_.modulation_frequency != 0;
    pass.real = s.real.data(), pass.imag = s.imag.data();
    for (int64_t f0 = 0; f0 < plan_.frames; f0 += kFrameGroup) {
      pass.frames = static_cast<int>(std::min<int64_t>(kFrameGroup, plan_.frames - f0));
      for (int64_t w = 0; w < plan_.transmits; w++) {
        if (w == 0 || !plan_.compound) clear(s, pass.frames);
        add_transmit(w, f0, pass, s);
        if (!plan_.compound) flush(s, n, f0, pass.frames, w);
      }
      if (plan_.compound) flush(s, n, f0, pass.frames, 0);
    }
  }

  // Flat arrays with every element at one depth (and one y): what the
  // receive geometry of a pixel shares for all elements.
  void receive_depths(Scratch &s, int n) const {
    const Element &e = plan_.elements[0];
    const Aperture &a = plan_.aperture;
    for (int i = 0; i < n; i++) {
      const double dz = s.z[i] - e.z, dy = s.y[i] - e.y;
      s.half[i] = dz > 0 ? std::min(std::max(dz * a.inv_2f, a.half_min), a.half_max) : 0.0;
      s.depth_sq[i] = plan_.geometry == kLine ? dy * dy + dz * dz : dz * dz;
    }
  }

  void add_transmit(int64_t w, int64_t f0, ChannelPass &pass, Scratch &s) {
    const TransmitPlan &t = plan_.transmit_plans[static_cast<size_t>(w)];
    transmit_samples(plan_, t, pass.lanes, s.x.data(), s.y.data(), s.z.data(), s.start.data(),
                     s.weight.data());
    if (std::all_of(s.weight.begin(), s.weight.begin() + pass.lanes,
                    [](double v) { return v == 0; }))
      return;
    for (int64_t c = 0; c < plan_.channels; c++) {
      pass.element = plan_.elements[static_cast<size_t>(c)];
      for (int f = 0; f < pass.frames; f++)
        pass.traces[f] = plan_.values + (f0 + f) * plan_.frame_stride + w * plan_.transmit_stride +
                         c * plan_.channel_stride;
      kernel_(pass);
    }
  }

  void clear(Scratch &s, int frames) const {
    std::fill(s.real.begin(), s.real.begin() + frames * kTilePixels, 0.0);
    if (plan_.iq) std::fill(s.imag.begin(), s.imag.begin() + frames * kTilePixels, 0.0);
  }

  // The tile's sums of frames f0 .. f0 + frames - 1 into image `index`.
  void flush(const Scratch &s, int n, int64_t f0, int frames, int64_t index) const {
    for (int f = 0; f < frames; f++) {
      const double *real = s.real.data() + f * kTilePixels;
      const double *imag = s.imag.data() + f * kTilePixels;
      double *out = image_ + ((f0 + f) * plan_.images + index) * plan_.pixels * (plan_.iq ? 2 : 1);
      for (int i = 0; i < n; i++) {
        if (!plan_.iq) {
          out[s.pixels[i]] = real[i];
        } else {
          out[2 * s.pixels[i]] = real[i];
          out[2 * s.pixels[i] + 1] = imag[i];
        }
      }
    }
  }

  const Plan &plan_;
  double *image_;
  ChannelKernel kernel_;
  Tiling tiling_;
  int64_t tiles_;
  std::atomic<int64_t> next_{0};
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  Failure failure_;
};

void report(sonvar_bf_error *error, int32_t code, const std::string &text) {
  if (!error) return;
  error->code = code;
  const size_t n = std::min(text.size(), sizeof error->text - 1);
  std::memcpy(error->text, text.data(), n);
  error->text[n] = '\0';
}

// Runs the call's body and turns whatever it throws into a status code and
// the error record's text.
template <class Body>
int32_t guarded(sonvar_bf_error *error, Body body) {
  try {
    body();
    report(error, SONVAR_BF_OK, "");
    return SONVAR_BF_OK;
  } catch (const Failure &failure) {
    report(error, failure.code, failure.text);
    return failure.code;
  } catch (const std::bad_alloc &) {
    report(error, SONVAR_BF_NO_MEMORY, "memory: the call's working memory could not be allocated");
    return SONVAR_BF_NO_MEMORY;
  } catch (const std::exception &e) {
    report(error, SONVAR_BF_INTERNAL, std::string("internal: ") + e.what());
    return SONVAR_BF_INTERNAL;
  }
}

}  // namespace

}  // namespace sonvar_bf

using namespace sonvar_bf;

extern "C" {

SONVAR_BEAMFORM_API const char *sonvar_bf_version(void) {
  return SONVAR_BEAMFORM_VERSION;
}

SONVAR_BEAMFORM_API void sonvar_bf_default_options(sonvar_bf_options *options) {
  if (!options) return;
  *options = sonvar_bf_options{};
  options->f_number = 1.5;
  options->window = SONVAR_BF_RECT;
  options->tukey_alpha = 0.5;
  options->interpolation = SONVAR_BF_LINEAR;
  options->compound = 1;
  options->transmit_apodization = 1;
  options->vector_width = SONVAR_BF_VECTOR_AUTO;
}

SONVAR_BEAMFORM_API int32_t sonvar_bf_image_values(sonvar_bf_error *error,
                                                   const sonvar_bf_channel_data *data,
                                                   const sonvar_bf_grid *grid,
                                                   const sonvar_bf_options *options,
                                                   int64_t *values) {
  if (values) *values = 0;
  return guarded(error, [&] {
    const int64_t count = checked_image_values(data, grid, options_or_defaults(options));
    if (values) *values = count;
  });
}

SONVAR_BEAMFORM_API int32_t sonvar_bf_das(sonvar_bf_error *error,
                                          const sonvar_bf_channel_data *data,
                                          const sonvar_bf_probe *probe,
                                          const sonvar_bf_transmit *transmits,
                                          const sonvar_bf_grid *grid,
                                          const sonvar_bf_options *options, double *image) {
  return guarded(error, [&] {
    const Plan plan = make_plan(data, probe, transmits, grid, options_or_defaults(options));
    if (!image) throw Failure{SONVAR_BF_BAD_ARGUMENT, "image: missing"};
    Beamformer(plan, image).run();
  });
}

SONVAR_BEAMFORM_API int32_t sonvar_bf_widest_vector(void) {
  return widest_vector();
}

}  // extern "C"
