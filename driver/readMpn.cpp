// readMpn.cpp - loads the node lines of a keyword-style mesh file.
#include <sys/types.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

[[noreturn]] void read_error(const char *path) {
  fprintf(stderr, "couldn't read input file %s: %s\n", path, strerror(errno));
  exit(1);
}

// Names the line that failed the load: the file, its line number (from 1)
// and at most kEchoed characters of it, with control characters shown as
// '?' so that the report stays one line.
void report_bad_line(const char *path, long number, const char *line, const char *why) {
  char shown[kEchoed + 1];
  std::size_t k = 0;
  for (; k < kEchoed && line[k] != '\0' && line[k] != '\n'; k++) {
    const unsigned char c = static_cast<unsigned char>(line[k]);
    shown[k] = (c < 0x20 || c == 0x7f) ? '?' : line[k];
  }
  shown[k] = '\0';
  fprintf(stderr, "node file %s, line %ld: %s: \"%s\"\n", path, number, why, shown);
}

}  // namespace

mesh_node *readMpnFile(FILE *file, const char *path, int *count) {
  size_t size = 160;
  char *line = static_cast<char *>(malloc(161));
  if (line == nullptr) fail("couldn't allocate space for line\n");

  long lines = 0;
  errno = 0;
  while (getline(&line, &size, file) != -1)
    if (is_node_line(line)) lines++;
  // getline gives -1 at the end of the file and on a read error alike.
  if (ferror(file)) read_error(path);
  if (lines > INT32_MAX - 1) {
    fprintf(stderr, "node file %s holds more than %d node lines\n", path, INT32_MAX - 1);
    exit(1);
  }

  // One record more than needed, so that an empty file still yields an array.
  auto *nodes = static_cast<mesh_node *>(calloc(static_cast<size_t>(lines) + 1, sizeof(mesh_node)));
  if (nodes == nullptr) fail("couldn't allocate space for nodes\n");
  if (fseek(file, 0, SEEK_SET) != 0) fail("couldn't seek input file\n");

  long read = 0;
  long number = 0;
  bool ok = true;
  while (ok && getline(&line, &size, file) != -1) {
    number++;
    if (!is_node_line(line)) continue;
    mesh_node node{};
    // A file that grew between the passes is a failed load: nothing is
    // written beyond the count of the first pass.
    if (read >= lines) {
      report_bad_line(path, number, line, "more node lines than the first pass counted");
      ok = false;
    } else if (sscanf(line, "%d,%lf,%lf,%lf", &node.id, &node.x, &node.y, &node.z) < 4) {
      report_bad_line(path, number, line, "not a node line \"id,x,y,z\"");
      ok = false;
    } else if (!std::isfinite(node.x) || !std::isfinite(node.y) || !std::isfinite(node.z)) {
      report_bad_line(path, number, line, "a coordinate is not a finite number");
      ok = false;
    } else {
      nodes[read++] = node;
    }
  }
  if (ok && ferror(file)) read_error(path);
  free(line);
  if (!ok || read != lines) {
    free(nodes);
    return nullptr;
  }
  *count = static_cast<int>(lines);
  return nodes;
}

mesh_node *readMpn(const char *path, int *count) {
  FILE *file = open_regular_file(path, "r", "node file");
  if (file == nullptr) {
    fprintf(stderr, "couldn't open input file %s\n", path);
    exit(1);
  }
  mesh_node *nodes = readMpnFile(file, path, count);
  fclose(file);
  return nodes;
}
