// accuracy_table - measures the accuracy tables of docs/accuracy.md: every
// case and method against the independent references, with the time per
// point, written as a Markdown table to the file named by the first
// argument; with a second argument, the field maps' RMS errors by cut and
// sampling frequency into that file (scripts/accuracy_table.sh puts both
// into the document).
#include <cstdio>
#include <string>

#include "support/accuracy_table.h"
#include "support/field_map_accuracy.h"

namespace {

bool write(const char *path, const std::string &text) {
  FILE *out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    return false;
  }
  std::fputs(text.c_str(), out);
  std::fclose(out);
  return true;
}

// The field maps of the speed comparison: cuts at 100 MHz, then sampling
// frequencies at the comparison's cut; and per map the smallest cut and
// the lowest fs of the rows within 1 % of the map's largest RMS.
std::string field_map_table() {
  std::vector<map_accuracy::MapRow> rows;
  std::string summary;
  const auto add = [&](const map_accuracy::MapCase &c, const std::vector<int> &cuts) {
    const std::vector<map_accuracy::MapRow> got =
        map_accuracy::run_map_case(c, cuts, {25e6, 50e6, 100e6, 200e6});
    int cut = 0;
    double fs = 0;
    for (const map_accuracy::MapRow &r : got) {
      if (r.map_error > 0.01) continue;
      if (r.fs == 100e6 && (cut == 0 || r.cut < cut)) cut = r.cut;
      if (r.cut == c.benchmark_cut && (fs == 0 || r.fs < fs)) fs = r.fs;
    }
    char line[256];
    std::snprintf(line, sizeof line,
                  "- %s: within 1 %% from 1 x %d at 100 MHz; at 1 x %d from %.0f MHz.\n",
                  c.name.c_str(), cut, c.benchmark_cut, fs / 1e6);
    summary += line;
    rows.insert(rows.end(), got.begin(), got.end());
  };
  add(map_accuracy::convex_case(), {2, 5, 8, 10, 20});
  add(map_accuracy::phased_case(), {4, 8, 10, 12, 16});
  return map_accuracy::format_map_table(rows) + "\n" + summary;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: accuracy_table OUTPUT [FIELD_MAP_OUTPUT]\n");
    return 2;
  }
  const std::vector<accuracy::Row> rows = accuracy::run_table(accuracy::table_cases(), 0.2);
  const std::string table = accuracy::format_table(rows) +
                            "\nThe rule for the cut of rectangles, row by row (N_F <= 1):\n\n" +
                            accuracy::format_cut_rule(rows);
  if (!write(argv[1], table)) return 1;
  if (argc == 3 && !write(argv[2], field_map_table())) return 1;
  return 0;
}
