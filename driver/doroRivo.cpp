// doroRivo.cpp - entry of the command-line driver. It takes no arguments,
// reads "./myNodes.dyn" and "./c52Fixed.json" and computes the emitted
// pressure at the first mesh nodes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "doroRivo.h"

namespace {

constexpr int kFieldPoints = 100;   // nodes used as field points
constexpr int kPrintedPoints = 20;  // nodes echoed as "points" lines
constexpr char kNodePath[] = "./myNodes.dyn";

run_params default_params() {
  run_params params{};
  params.alpha = 0.5;
  params.nodes = nullptr;
  params.fnum = 0.1;
  params.focus = point3{2.0, 1.0, 1.0};
  params.frequency = 100.1;
  params.impulse_type = "gaussian";
  params.threads = 1;
  params.c = 1540;
  params.fs = 100000000;
  params.info = nullptr;
  return params;
}

}  // namespace

int main() {
  run_params params = default_params();
  int count = 0;
  params.nodes = readMpn(kNodePath, &count);
  if (params.nodes == nullptr) {
    fprintf(stderr, "didn't get enough values from readMpn\n");
    return 1;
  }
  fprintf(stderr, "numNodes %d\n", count);
  const int needed = std::max(kFieldPoints, kPrintedPoints);
  if (count < needed) {
    fprintf(stderr, "node file %s holds %d nodes; the run needs at least %d\n", kNodePath, count,
            needed);
    free(params.nodes);
    return 1;
  }
  fprintf(stderr, "point 0 %f %f %f\n", params.nodes[0].x, params.nodes[0].y, params.nodes[0].z);
  fprintf(stderr, "sampling %d\n", params.fs);
  dynaSonvar(1, kFieldPoints, params);
  return 0;
}
