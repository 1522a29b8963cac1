// Fuzz target: the mesh node reader on an in-memory stream.
#include <cstdio>
#include <cstdlib>

#include "doroRivo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (file == nullptr) return 0;
  int count = 0;
  free(readMpnFile(file, "fuzz", &count));
  fclose(file);
  return 0;
}
