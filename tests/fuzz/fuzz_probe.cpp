// Fuzz target: the probe-description parser and its checks. Any input must
// either be refused with a message or give a description the checks pass.
#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>

#include "doroRivo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  probe_description probe{};
  probe_error error{};
  if (parse_probe(reinterpret_cast<const char *>(data), size, &probe, &error, false)) {
    check_probe(probe, 100000000, 1 << 22, &error);
    cJSON_Delete(probe.document);
  }
  return 0;
}
