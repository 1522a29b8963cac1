// The driver's input stage: the mesh node reader, the probe description and
// the program run end to end on the shipped example inputs.
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "doroRivo.h"
#include "support/test_util.h"

using sonvar_test::write_file;

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testing::TempDir() + "sonvar_driver_" +
          testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    mkdir(dir.c_str(), 0755);
  }

  static std::string read_file(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  static std::string example(const std::string &name) {
    return read_file(std::string(SONVAR_EXAMPLES_DIR) + "/" + name);
  }

  // Runs the driver program in `dir`; returns its exit status and fills the
  // texts of its standard output and standard error.
  int run_program(std::string *out, std::string *err) const {
    // The program keeps its data until the process ends, by design: leak
    // reports of a sanitizer build would only repeat that.
    const std::string command = "cd '" + dir +
                                "' && ASAN_OPTIONS=detect_leaks=0 '" DORORIVO_PATH
                                "' >stdout.txt 2>stderr.txt";
    const int status = system(command.c_str());
    *out = read_file(dir + "stdout.txt");
    *err = read_file(dir + "stderr.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }

  // A node file of `count` nodes at (k mm, 0, 10 mm + k mm).
  static std::string node_file(int count) {
    std::string text = "*KEYWORD\n*NODE\n";
    for (int k = 0; k < count; k++)
      text += std::to_string(k + 1) + "," + std::to_string(0.001 * k) + ",0.0," +
              std::to_string(0.010 + 0.001 * k) + "\n";
    return text + "*END\n";
  }

  std::string dir;
};

TEST_F(DriverTest, ReadsOnlyNodeLinesOfAKeywordFile) {
  const std::string path = dir + "nodes.dyn";
  write_file(path,
             "*KEYWORD\n$ comment\n*NODE\n"
             "      17,  0.001, -0.002, 0.03\n"
             "$ between\n"
             "3,1e-3,2.5e-3,4e-2,7,8\n"  // six columns: the first four count
             "  -5,0,0,0.05\n"           // leading blanks before a number are fine
             "*END\n");
  int count = -1;
  mesh_node *nodes = readMpn(path.c_str(), &count);
  ASSERT_NE(nodes, nullptr);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(nodes[0].id, 17);
  EXPECT_EQ(nodes[0].x, 0.001);
  EXPECT_EQ(nodes[0].y, -0.002);
  EXPECT_EQ(nodes[0].z, 0.03);
  EXPECT_EQ(nodes[1].id, 3);
  EXPECT_EQ(nodes[1].z, 4e-2);
  EXPECT_EQ(nodes[2].id, -5);
  EXPECT_EQ(nodes[2].z, 0.05);
  free(nodes);
}

TEST_F(DriverTest, MalformedNodeLinesFailTheLoadAndAreNamed) {
  const std::string long_line = "7," + std::string(100, '1') + "x";
  const struct {
    std::string text;
    std::string report;  // the line on standard error
  } cases[] = {
      {"*NODE\n1,0,0,0.01\n\n2,0,0,0.02\n", "line 3: not a node line \"id,x,y,z\": \"\""},
      {"*NODE\n1 ,0,0,0.01\n", "line 2: not a node line \"id,x,y,z\": \"1 ,0,0,0.01\""},
      {"*NODE\n1,0,0\n", "line 2: not a node line \"id,x,y,z\": \"1,0,0\""},
      {" $ only the first character counts\n",
       "line 1: not a node line \"id,x,y,z\": \" $ only the first character counts\""},
      {"*NODE\n1,0,0,0.01\n*END\n\n", "line 4: not a node line \"id,x,y,z\": \"\""},
      {"1,nan,0,0.01\n", "line 1: a coordinate is not a finite number: \"1,nan,0,0.01\""},
      {"1,0,-inf,0.01\n", "line 1: a coordinate is not a finite number: \"1,0,-inf,0.01\""},
      {"1,0,0,1e999\n", "line 1: a coordinate is not a finite number: \"1,0,0,1e999\""},
      {"1\t,0,0\x01\r\n", "line 1: not a node line \"id,x,y,z\": \"1?,0,0??\""},
      {long_line + "\n",
       "line 1: not a node line \"id,x,y,z\": \"" + long_line.substr(0, 80) + "\""},
  };
  const std::string path = dir + "bad.dyn";
  for (const auto &c : cases) {
    write_file(path, c.text);
    int count = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(readMpn(path.c_str(), &count), nullptr) << c.text;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "node file " + path + ", " + c.report + "\n");
  }
}

TEST_F(DriverTest, InputsMustBeReadableRegularFiles) {
  const std::string fifo = dir + "fifo";
  mkfifo(fifo.c_str(), 0644);
  const std::string device = dir + "zero";
  symlink("/dev/zero", device.c_str());
  int count = 0;
  // No writer on the FIFO: the open must not wait for one.
  for (const auto &[path, kind] : {std::pair<std::string, std::string>{dir, "a directory"},
                                   {fifo, "a FIFO"},
                                   {device, "a character device"}}) {
    EXPECT_EXITS(readMpn(path.c_str(), &count), 1,
                 "^node file " + path + ": is " + kind + ", not a regular file\n$");
    EXPECT_EXITS(read_probe(path.c_str(), false), 1,
                 "^probe description " + path + ": is " + kind + ", not a regular file\n$");
  }
  // A stream that fails to read is a read error, not an end of file.
  const std::string path = dir + "nodes.dyn";
  write_file(path, node_file(3));
  EXPECT_EXITS(readMpnFile(fopen(path.c_str(), "a"), path.c_str(), &count), 1,
               "^couldn't read input file " + path + ": Bad file descriptor\n$");
}

TEST_F(DriverTest, FileWithoutNodeLinesGivesZero) {
  const std::string path = dir + "empty.dyn";
  write_file(path, "*KEYWORD\n$ nothing here\n*END\n");
  int count = -1;
  mesh_node *nodes = readMpn(path.c_str(), &count);
  EXPECT_NE(nodes, nullptr);
  EXPECT_EQ(count, 0);
  free(nodes);
}

TEST_F(DriverTest, MissingNodeFileEndsWithStatusOne) {
  const std::string path = dir + "absent.dyn";
  int count = 0;
  EXPECT_EXITS(readMpn(path.c_str(), &count), 1, "^couldn't open input file " + path + "\n$");
}

TEST_F(DriverTest, ProbeKeysIgnoreCaseAndUseIntegerViews) {
  std::string json = example("c52Fixed.json");
  // Capitals where the table has small letters, and a fraction on an
  // integer-view key.
  const auto replace = [&json](const std::string &from, const std::string &to) {
    const size_t at = json.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    json.replace(at, from.size(), to);
  };
  replace("\"no_elements\": 128", "\"NO_ELEMENTS\": 128");
  replace("\"f0\": 3570000", "\"f0\": 3570000.9");
  replace("\"Rconvex\"", "\"rCONVEX\"");
  replace("\"Th\"", "\"th\"");
  const std::string path = dir + "probe.json";
  write_file(path, json);
  const probe_description probe = read_probe(path.c_str(), false);
  EXPECT_EQ(probe.no_elements, 128);
  EXPECT_EQ(probe.no_sub_x, 1);
  EXPECT_EQ(probe.no_sub_y, 5);
  EXPECT_DOUBLE_EQ(probe.width, 0.48e-3);
  EXPECT_DOUBLE_EQ(probe.kerf, 0.028e-3);
  EXPECT_DOUBLE_EQ(probe.height, 13.5e-3);
  EXPECT_DOUBLE_EQ(probe.Rconvex, 49.57e-3);
  EXPECT_DOUBLE_EQ(probe.Rfocus, 60e-3);
  EXPECT_DOUBLE_EQ(probe.centerFrequency, 3.57e6);
  EXPECT_DOUBLE_EQ(probe.fractionalBandwidth, 0.79);
  EXPECT_STREQ(probe.th, "xdc_convex_focused_array");
  EXPECT_EQ(probe.f0, 3570000.0);
  cJSON_Delete(probe.document);
}

TEST_F(DriverTest, BadProbeDescriptionsEndWithStatusOne) {
  const std::string path = dir + "probe.json";
  remove(path.c_str());
  EXPECT_EXITS(read_probe(path.c_str(), false), 1,
               "^probe description " + path + ": cannot open the file\n$");
  write_file(path, "{\"no_elements\": 12,, }");
  EXPECT_EXITS(
      read_probe(path.c_str(), false), 1,
      "^Error before: \\[ }\\]\nprobe description " + path + ": the text is not valid JSON\n$");
  std::string json = example("c52Fixed.json");
  json.replace(json.find("\"kerf\""), 6, "\"kerv\"");
  write_file(path, json);
  EXPECT_EXITS(read_probe(path.c_str(), false), 1,
               "^probe description " + path + ": key \"kerf\" is missing or is not a number\n$");
  json = example("c52Fixed.json");
  json.replace(json.find("\"xdc_convex_focused_array\""), 26, "7");
  write_file(path, json);
  EXPECT_EXITS(read_probe(path.c_str(), false), 1, "key \"Th\" is missing or is not a string\n$");
}

TEST_F(DriverTest, ProbeDescriptionsThatCannotBeBuiltAreRefusedByKey) {
  const std::string json = example("c52Fixed.json");
  const std::string big(200, 'x');
  // Each case replaces one piece of the example; at_parse says whether the
  // parse or the build check refuses it.
  const struct {
    std::string from, to;
    bool at_parse;
    std::string message;
  } cases[] = {
      {"\"no_elements\": 128", "\"no_elements\": 0", true,
       "key \"no_elements\" must be a whole number from 1 to 10000 (is 0)"},
      {"\"no_elements\": 128", "\"no_elements\": 128.9", true,
       "key \"no_elements\" must be a whole number from 1 to 10000 (is 128.90000000000001)"},
      {"\"no_elements\": 128", "\"no_elements\": 1e9", true,
       "key \"no_elements\" must be a whole number from 1 to 10000 (is 1000000000)"},
      {"\"no_elements\": 128", "\"no_elements\": -5, \"No_Elements\": 128", true,
       "key \"No_Elements\" is given twice"},
      {"\"no_sub_x\": 1", "\"no_sub_x\": 0", true,
       "key \"no_sub_x\" must be a whole number from 1 to 1000 (is 0)"},
      {"\"no_sub_y\": 5", "\"no_sub_y\": -1", true,
       "key \"no_sub_y\" must be a whole number from 1 to 1000 (is -1)"},
      {"\"bw\": 79", "\"bw\": 79, \"BW\": 1", true, "key \"BW\" is given twice"},
      {"\n}\n", "\n} trailing", true, "text follows the JSON object: \"trailing\""},
      {"\n}\n", "\n}" + big, true, "text follows the JSON object: \"" + big.substr(0, 80) + "\""},
      {"\"width\": 0.00048", "\"width\": -0.00048", false,
       "key \"width\" must be a finite number above 0 (is -0.00048)"},
      {"\"height\": 0.0135", "\"height\": 0", false,
       "key \"height\" must be a finite number above 0 (is 0)"},
      {"\"kerf\": 0.000028", "\"kerf\": -1e-5", false,
       "key \"kerf\" must be a finite number of 0 or more (is -1e-05)"},
      {"\"Rconvex\": 0.04957", "\"Rconvex\": -0.04957", false,
       "key \"Rconvex\" must be a finite number above 0 (is -0.04957)"},
      {"\"Rfocus\": 0.06", "\"Rfocus\": 0.006", false,
       "key \"Rfocus\" (0.006 m) must be at least half of \"height\" (0.0135 m)"},
      {"\"width\": 0.00048", "\"width\": 0.05", false,
       "key \"width\" (0.05 m) must be below \"Rconvex\" (0.04957 m)"},
      {"\"no_elements\": 128", "\"no_elements\": 400", false,
       "keys \"no_elements\", \"width\", \"kerf\" and \"Rconvex\" give an arc of 234.841 "
       "degrees; at most 180"},
      {"\"no_sub_x\": 1,\n  \"no_sub_y\": 5", "\"no_sub_x\": 1000,\n  \"no_sub_y\": 10", false,
       "keys \"no_elements\", \"no_sub_x\" and \"no_sub_y\" give 1280000 rectangles; at most "
       "1000000"},
      {"\"fractionalBandwidth\": 0.79", "\"fractionalBandwidth\": 1e-6", false,
       "keys \"centerFrequency\" (3.57e+06 Hz) and \"fractionalBandwidth\" (1e-06) give a "
       "Gaussian pulse of 63611144 samples at 100000000 Hz; at most 4194304"},
  };
  for (const auto &c : cases) {
    std::string text = json;
    const size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    text.replace(at, c.from.size(), c.to);
    probe_description probe{};
    probe_error error{};
    const bool parsed = parse_probe(text.data(), text.size(), &probe, &error, false);
    if (c.at_parse) {
      EXPECT_FALSE(parsed) << c.to;
      EXPECT_EQ(probe.document, nullptr);
    } else {
      ASSERT_TRUE(parsed) << error.text;
      EXPECT_FALSE(check_probe(probe, 100000000, 1 << 22, &error)) << c.to;
      cJSON_Delete(probe.document);
    }
    EXPECT_EQ(std::string(error.text), c.message) << c.to;
  }
  // A syntax error keeps 80 characters of the place where parsing stopped.
  const std::string broken = "{\"no_elements\": 12,, " + big + "}";
  probe_description probe{};
  probe_error error{};
  EXPECT_FALSE(parse_probe(broken.data(), broken.size(), &probe, &error, false));
  EXPECT_TRUE(error.parse_error);
  EXPECT_EQ(std::string(error.context), (" " + big).substr(0, 80));
  // A zero byte inside the file ends the text early: refused, not ignored.
  const std::string with_zero = json + std::string(1, '\0') + "{}";
  EXPECT_FALSE(parse_probe(with_zero.data(), with_zero.size(), &probe, &error, false));
  EXPECT_EQ(std::string(error.text), "the file holds a zero byte after the JSON object");
}

TEST_F(DriverTest, ProgramRunsTheExampleField) {
  write_file(dir + "myNodes.dyn", example("myNodes.dyn"));
  write_file(dir + "c52Fixed.json", example("c52Fixed.json"));
  std::string out, err;
  ASSERT_EQ(run_program(&out, &err), 0) << err;
  const std::vector<std::string> lines = lines_of(err);
  ASSERT_EQ(lines.size(), 32u) << err;
  EXPECT_EQ(lines[0], "numNodes 120");
  EXPECT_EQ(lines[1], "point 0 -0.009000 -0.000500 0.010000");
  EXPECT_EQ(lines[2], "sampling 100000000");
  EXPECT_EQ(lines[3], "points -0.009000 -0.000500 0.010000");
  EXPECT_EQ(lines[22], "points 0.009000 0.000000 0.016000");
  const std::vector<std::string> tail = {
      "calling xdc_convex_focused_array",
      "params.frequency 100.100000 exciteFreq 100100000.000000 stepSize 1e-08",
      "setting excitationPulse; numSteps 50",
      "calling excitation",
      "got 1 1",
      "back from excitation",
      "got 1 50",
      "calling calc_hp; numNodes 100"};
  for (size_t k = 0; k < tail.size(); k++) EXPECT_EQ(lines[23 + k], tail[k]);
  EXPECT_EQ(lines[31].rfind("done with calc_hp; num samples at 0 ", 0), 0u) << lines[31];
  EXPECT_GT(std::stoi(lines[31].substr(36)), 50);
  // Standard output: the mutex line, then the configuration report with the
  // run's attenuation.
  EXPECT_EQ(
      out.rfind("Multi-core mutexs have been initialized \nCurrent Sonvar configuration:\n", 0), 0u)
      << out;
  for (const char *line :
       {"    Parallel multi-thread version, running with 1 threads\n",
        "    Whether to use attenuation: 1\n",
        "    Frequency independent attenuation is:   5005.0000 dB/m\n",
        "    Frequency dependent attenuation around   100.1000 MHz is     0.0001 dB/[m Hz]\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line;
}

TEST_F(DriverTest, ApertureChoiceFollowsTheThText) {
  write_file(dir + "myNodes.dyn", example("myNodes.dyn"));
  const std::string json = example("c52Fixed.json");
  const auto with_th = [&](const std::string &th) {
    std::string text = json;
    const std::string from = "\"Th\": \"xdc_convex_focused_array\"";
    text.replace(text.find(from), from.size(), "\"Th\": \"" + th + "\"");
    write_file(dir + "c52Fixed.json", text);
  };
  std::string out, err;
  with_th("xdc_focused_multirow(128, 0.48e-3, 1, [13.5e-3], ...)");
  EXPECT_EQ(run_program(&out, &err), 0) << err;
  EXPECT_NE(err.find("\ncalling xdc_focused_multirow\nparams.frequency"), std::string::npos);
  with_th("XDC_CONVEX_FOCUSED_ARRAY");  // the test is case-sensitive
  EXPECT_EQ(run_program(&out, &err), 1);
  const std::vector<std::string> lines = lines_of(err);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "unknown aperture command");
  EXPECT_EQ(lines.back(),
            "probe description ./c52Fixed.json: \"Th\" names no known aperture "
            "(\"XDC_CONVEX_FOCUSED_ARRAY\"); use xdc_convex_focused_array, "
            "xdc_focused_multirow or xdc_concave");
}

TEST_F(DriverTest, PulseValuesMustBeUsable) {
  write_file(dir + "myNodes.dyn", example("myNodes.dyn"));
  std::string json = example("c52Fixed.json");
  json.replace(json.find("\"centerFrequency\": 3570000"), 26, "\"centerFrequency\": -1");
  write_file(dir + "c52Fixed.json", json);
  std::string out, err;
  EXPECT_EQ(run_program(&out, &err), 1);
  EXPECT_EQ(lines_of(err).back(),
            "probe description ./c52Fixed.json: key \"centerFrequency\" must be a finite number "
            "above 0 (is -1)");
}

TEST_F(DriverTest, ProgramRefusesBadNodeFiles) {
  write_file(dir + "c52Fixed.json", example("c52Fixed.json"));
  std::string out, err;
  write_file(dir + "myNodes.dyn", "*NODE\n1,0,0,0.01\n2;0,0,0.02\n");
  EXPECT_EQ(run_program(&out, &err), 1);
  EXPECT_EQ(err,
            "node file ./myNodes.dyn, line 3: not a node line \"id,x,y,z\": \"2;0,0,0.02\"\n"
            "didn't get enough values from readMpn\n");
  write_file(dir + "myNodes.dyn", node_file(50));
  EXPECT_EQ(run_program(&out, &err), 1);
  EXPECT_EQ(err,
            "numNodes 50\nnode file ./myNodes.dyn holds 50 nodes; the run needs at least 100\n");
  write_file(dir + "myNodes.dyn", node_file(100));
  remove((dir + "c52Fixed.json").c_str());
  EXPECT_EQ(run_program(&out, &err), 1);
  EXPECT_NE(err.find("probe description ./c52Fixed.json: cannot open the file\n"),
            std::string::npos)
      << err;
}

namespace {

run_params pulse_params(const char *type, int32_t fs) {
  run_params params{};
  params.impulse_type = type;
  params.fs = fs;
  return params;
}

}  // namespace

TEST_F(DriverTest, GaussianPulseSamplesTheEnvelopeFromMinusTc) {
  int count = -1;
  double *pulse = gaussPulse(0, 0.6, 5e6, pulse_params("gaussian", 100000000), &count);
  ASSERT_NE(pulse, nullptr);
  // tc = sqrt(2 ln(100) v) with v = 1 / (4 pi^2 a), a = (fc bw)^2 / (8 * 0.3 ln 10).
  const double a = (5e6 * 0.6) * (5e6 * 0.6) / (8 * 0.3 * std::log(10.0));
  const double v = 1 / (4 * M_PI * M_PI * a);
  const double tc = std::sqrt(2 * std::log(100.0) * v);
  EXPECT_NEAR(tc, 0.38e-6, 0.01e-6);
  EXPECT_EQ(count, 74);  // 2 * floor(fs * tc): always even
  EXPECT_NEAR(pulse[0], std::cos(2 * M_PI * 5e6 * -tc) * 0.01, 1e-12);
  EXPECT_NEAR(pulse[0], 7.8e-3, 0.05e-3);
  EXPECT_NEAR(
      pulse[37],
      std::cos(2 * M_PI * 5e6 * (37e-8 - tc)) * std::exp(-(37e-8 - tc) * (37e-8 - tc) / (2 * v)),
      1e-12);
  free(pulse);
  int wide = 0;
  free(gaussPulse(0, 0.9, 5e6, pulse_params("gaussian", 100000000), &wide));
  EXPECT_LT(wide, count);  // a wider band gives a shorter pulse
  int none = -1;
  EXPECT_EQ(gaussPulse(0, 0.6, 5e6, pulse_params("gaussian", 1000), &none), nullptr);
  EXPECT_EQ(none, 0);  // fs * tc below 1: no samples
  EXPECT_EQ(gaussPulseLength(0.6, 5e6, 1000), 0);
  EXPECT_EQ(gaussPulseLength(1e-300, 1e-300, 100000000), -1);
}

TEST_F(DriverTest, PulseTypesAndTrace) {
  int count = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(gaussPulse(0, 0.6, 5e6, pulse_params("exp", 100000000), &count), nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "got exp\n");
  testing::internal::CaptureStderr();
  double *pulse = gaussPulse(1, 0.6, 5e6, pulse_params("gaussian-exp", 100000000), &count);
  const std::string trace = testing::internal::GetCapturedStderr();
  free(pulse);
  EXPECT_EQ(count, 74);
  EXPECT_EQ(trace.rfind("got gaussian; ref 0.501187, delta 0.010000, a ", 0), 0u) << trace;
  EXPECT_NE(trace.find("\nsampling freq 100000000\nfreq 1e+08, numSteps 74\n"
                       "starting loop, stepSize 1.000000e-08\nimpulse -0.000000, ye 0.010000, yc "
                       "0.007"),
            std::string::npos)
      << trace;
  EXPECT_EQ(trace.substr(trace.size() - 22), "finished loop\ngot exp\n");
}

TEST_F(DriverTest, SineBurstOfTheRun) {
  sys_con *sys = sonvar_test::quiet_state();
  testing::internal::CaptureStderr();
  // 100.1 MHz at 100 MHz: 50 / 100.1e6 / 1e-8 = 49.95 rounds to 50 samples.
  signal_rec *burst = sineBurst(sys, 100.1e6, 1e-8);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "setting excitationPulse; numSteps 50\n");
  ASSERT_EQ(burst->no_samples, 50);
  EXPECT_EQ(burst->start_sample, 0);
  EXPECT_EQ(burst->values[0], 0.0);
  EXPECT_NEAR(burst->values[1], std::sin(2 * M_PI * 1.001), 1e-12);
  EXPECT_NEAR(burst->values[1], 6.3e-3, 0.05e-3);
  EXPECT_NEAR(burst->values[2], 1.26e-2, 0.01e-2);
  free_signal(sys, burst);
  sonvar_test::release_state(sys);
}
