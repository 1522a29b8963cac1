// readMpn.cpp - loads the node lines of a keyword-style mesh file.
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>

#include "doroRivo.h"

namespace {

// Keyword ("*") and comment ("$") lines are recognised by their first
// character only.
bool is_node_line(const char *line) {
  return line[0] != '$' && line[0] != '*';
}

[[noreturn]] void fail(const char *message) {
  fputs(message, stderr);
  exit(1);
}

}  // namespace

mesh_node *readMpn(const char *path, int *count) {
  FILE *file = fopen(path, "r");
  if (file == nullptr) {
    fprintf(stderr, "couldn't open input file %s\n", path);
    exit(1);
  }
  size_t size = 160;
  char *line = static_cast<char *>(malloc(161));
  if (line == nullptr) fail("couldn't allocate space for line\n");

  int lines = 0;
  while (getline(&line, &size, file) != -1)
    if (is_node_line(line)) lines++;

  // One record more than needed, so that an empty file still yields an array.
  auto *nodes = static_cast<mesh_node *>(calloc(static_cast<size_t>(lines) + 1, sizeof(mesh_node)));
  if (nodes == nullptr) fail("couldn't allocate space for nodes\n");
  if (fseek(file, 0, SEEK_SET) != 0) fail("couldn't seek input file\n");

  int read = 0;
  bool ok = true;
  while (ok && getline(&line, &size, file) != -1) {
    if (!is_node_line(line)) continue;
    mesh_node node{};
    // A file that grew between the passes is a failed load: nothing is
    // written beyond the count of the first pass.
    if (read >= lines || sscanf(line, "%d,%lf,%lf,%lf", &node.id, &node.x, &node.y, &node.z) < 4) {
      ok = false;
      break;
    }
    nodes[read++] = node;
  }
  fclose(file);
  free(line);
  if (!ok || read != lines) {
    free(nodes);
    return nullptr;
  }
  *count = lines;
  return nodes;
}
