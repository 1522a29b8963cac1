// Fuzz target: a probe description through the whole pipeline. A description
// the driver's checks accept is built into an aperture with its Gaussian
// impulse response, and hp is computed at three points on its axis. The
// library runs in the throwing mode, so a refusal comes back as an
// exception; anything else (a crash, a sanitizer report, a sample that is
// not finite) is a finding. A refused call may leave what it had taken
// allocated (the library's contract for failures that come back), so the
// leak check is off while the library runs; the unit tests check that the
// calls that succeed release everything.
#include <cjson/cJSON.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sanitizer/lsan_interface.h>

#include "doroRivo.h"
#include "sonvar.h"

namespace {

constexpr std::int32_t kFs = 100000000;
// Keeps one input's work to a fraction of a second.
constexpr std::int64_t kMaxFuzzRectangles = 4096;
constexpr std::int64_t kMaxFuzzPulse = 1 << 16;

aperture *build(sys_con *sys, const probe_description &p, point3 focus) {
  if (std::strstr(p.th, "xdc_convex_focused_array") != nullptr)
    return xdc_convex_focused_array(sys, p.no_elements, p.width, p.height, p.kerf, p.Rconvex,
                                    p.Rfocus, p.no_sub_x, p.no_sub_y, focus);
  if (std::strstr(p.th, "xdc_focused_multirow") != nullptr) {
    const double heights[1] = {p.height};
    return xdc_focused_multirow(sys, p.no_elements, p.width, 1, heights, p.kerf, p.kerf, p.Rfocus,
                                p.no_sub_x, p.no_sub_y, focus);
  }
  return nullptr;
}

void run_hp(const probe_description &p) {
  __lsan_disable();
  sys_con *sys = sonvar_init(1);
  sonvar_set_output(sys, sonvar_discard_output, nullptr);
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
  set_sonvar(sys, "fs", kFs);
  // Long responses (metre-sized elements) are refused by the bound, quickly.
  set_sonvar(sys, "max_samples", kMaxFuzzPulse);
  aperture *ap = nullptr;
  signal_rec **hp = nullptr;
  const point3 points[3] = {{0, 0, 0.01}, {0.002, 0, 0.03}, {-0.005, 0.001, 0.06}};
  try {
    ap = build(sys, p, point3{0, 0, 0.04});
    if (ap != nullptr) {
      run_params params{};
      params.fs = kFs;
      params.impulse_type = "gaussian";
      int count = 0;
      double *pulse = gaussPulse(0, p.fractionalBandwidth, p.centerFrequency, params, &count);
      if (pulse != nullptr) {
        signal_rec *impulse = alloc_signal(sys, count, 0);
        for (int i = 0; i < count; i++) impulse->values[i] = pulse[i];
        std::free(pulse);
        xdc_impulse(sys, ap, impulse);
      }
      hp = calc_hp(sys, ap, 3, points);
      for (int k = 0; k < 3; k++)
        for (int i = 0; hp[k] != nullptr && i < hp[k]->no_samples; i++)
          if (!std::isfinite(hp[k]->values[i])) std::abort();
    }
  } catch (const sonvar::Error &) {
    // A refusal with its message: the expected outcome for many inputs.
  }
  if (hp != nullptr) {
    for (int k = 0; k < 3; k++)
      if (hp[k] != nullptr) free_signal(sys, hp[k]);
    std::free(hp);
  }
  if (ap != nullptr) xdc_free(sys, ap);
  sonvar_free(sys);
  __lsan_enable();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  probe_description probe{};
  probe_error error{};
  if (!parse_probe(reinterpret_cast<const char *>(data), size, &probe, &error, false)) return 0;
  const std::int64_t rectangles =
      static_cast<std::int64_t>(probe.no_elements) * probe.no_sub_x * probe.no_sub_y;
  if (check_probe(probe, kFs, kMaxFuzzPulse, &error) && rectangles <= kMaxFuzzRectangles)
    run_hp(probe);
  cJSON_Delete(probe.document);
  return 0;
}
