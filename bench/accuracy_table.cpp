// accuracy_table - measures the accuracy table of docs/accuracy.md: every
// case and method against the independent references, with the time per
// point, written as a Markdown table to the file named by the argument
// (scripts/accuracy_table.sh puts it into the document).
#include <cstdio>

#include "support/accuracy_table.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: accuracy_table OUTPUT\n");
    return 2;
  }
  const std::vector<accuracy::Row> rows = accuracy::run_table(accuracy::table_cases(), 0.2);
  const std::string table = accuracy::format_table(rows) +
                            "\nThe rule for the cut of rectangles, row by row (N_F <= 1):\n\n" +
                            accuracy::format_cut_rule(rows);
  FILE *out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fputs(table.c_str(), out);
  std::fclose(out);
  return 0;
}
