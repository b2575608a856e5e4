// The FMU host in-process: how modelDescription.xml becomes spaces and mappings, the archive's
// refusals, the FMI call sequence against our test FMUs and each failure a user must be able to act on.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive.hpp"
#include "fmu_sim.hpp"
#include "mapping.hpp"
#include "model_description.hpp"
#include "support/env.hpp"
#include "support/non_regular_files.hpp"

namespace nalto::fmu {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempFolder;

const std::string FMUS = NALTO_TEST_FMUS_DIR;

// Member order is part of what is compared.
Json json_of(const char* text) {
  return Json::parse(text);
}

std::string model(const std::string& variables, const std::string& extra = "") {
  return R"(<?xml version="1.0"?><fmiModelDescription fmiVersion="2.0" modelName="m" guid="{g}">
      <CoSimulation modelIdentifier="m_cs"/>)" +
         extra + "<ModelVariables>" + variables + "</ModelVariables></fmiModelDescription>";
}

std::string variable(const std::string& name, int vr, const std::string& causality, const std::string& type,
                     const std::string& attributes = "") {
  return "<ScalarVariable name=\"" + name + "\" valueReference=\"" + std::to_string(vr) + "\" causality=\"" +
         causality + "\"><" + type + " " + attributes + "/></ScalarVariable>";
}

struct MappingCase {
  const char* what;
  std::string variables;
  Json space, mappings;
};

TEST(FmuMappingTest, VariableKindsBecomeSpacesAndMappingsNamedAfterTheVariables) {
  const std::vector<MappingCase> cases = {
      {"Real outputs: a box with their bounds, open where none is given",
       variable("a", 0, "output", "Real", R"(min="-1" max="2")") + variable("b", 1, "output", "Real"),
       json_of(R"({"type": "box", "shape": [2], "low": [-1.0, null], "high": [2.0, null], "dtype": "float64",
           "names": ["a", "b"]})"),
       json_of(R"([{"name": "[0]", "name_mapped": "a"}, {"name": "[1]", "name_mapped": "b"}])")},
      {"mixed types: a tuple, Integer and Enumeration as int64 boxes, Boolean as a discrete of 2",
       variable("r", 0, "output", "Real") + variable("i", 0, "output", "Integer", R"(min="0" max="9")") +
           variable("b", 0, "output", "Boolean") +
           variable("e", 1, "output", "Enumeration", R"(declaredType="t")"),
       json_of(R"({"type": "tuple", "spaces": [
           {"type": "box", "shape": [1], "low": [null], "high": [null], "dtype": "float64", "names": ["r"]},
           {"type": "box", "shape": [1], "low": [0.0], "high": [9.0], "dtype": "int64", "names": ["i"]},
           {"type": "discrete", "n": 2, "name": "b"},
           {"type": "box", "shape": [1], "low": [null], "high": [null], "dtype": "int64", "names": ["e"]}]})"),
       json_of(R"([{"name": "[0][0]", "name_mapped": "r"}, {"name": "[1][0]", "name_mapped": "i"},
           {"name": "[2]", "name_mapped": "b"}, {"name": "[3][0]", "name_mapped": "e"}])")},
      {"only outputs, in the file's order; inputs, parameters, locals and Strings left out",
       variable("z", 5, "output", "Real") + variable("in", 0, "input", "Real") +
           variable("p", 1, "parameter", "Real") + variable("l", 2, "local", "Real") +
           variable("s", 0, "output", "String") + variable("a", 3, "output", "Real"),
       json_of(R"({"type": "box", "shape": [2], "low": [null, null], "high": [null, null], "dtype": "float64",
           "names": ["z", "a"]})"),
       json_of(R"([{"name": "[0]", "name_mapped": "z"}, {"name": "[1]", "name_mapped": "a"}])")},
      {"no outputs: an empty box", variable("in", 0, "input", "Real"),
       json_of(R"({"type": "box", "shape": [0], "low": [], "high": [], "dtype": "float64", "names": []})"),
       Json::array()},
  };
  for (const MappingCase& c : cases) {
    const Signals outputs(parse_model_description(model(c.variables)), "output");
    EXPECT_EQ(outputs.space(), c.space) << c.what;
    EXPECT_EQ(outputs.mappings(), c.mappings) << c.what;
  }
}

TEST(FmuMappingTest, ValuesTravelInTheSpacesShapeWithValueReferencesKeptPerType) {
  const ModelDescription md =
      parse_model_description(model(variable("r", 7, "input", "Real") + variable("i", 7, "input", "Integer") +
                                    variable("b", 7, "input", "Boolean")));
  const Signals inputs(md, "input");
  EXPECT_EQ(inputs.reals, std::vector<fmi2ValueReference>{7});
  EXPECT_EQ(inputs.integers, std::vector<fmi2ValueReference>{7});
  EXPECT_EQ(inputs.booleans, std::vector<fmi2ValueReference>{7});
  const Values values = inputs.from_json(json_of(R"([[1.5], [3.0], true])"));
  EXPECT_EQ(values.reals, std::vector<double>{1.5});
  EXPECT_EQ(values.integers, std::vector<int>{3});
  EXPECT_EQ(values.booleans, std::vector<int>{fmi2True});
  EXPECT_EQ(inputs.to_json(values), json_of(R"([[1.5], [3], 1])"));

  for (const char* bad : {R"([[1.5], [3.5], 0])", R"([[1.5], [3], "yes"])", R"([1.5, [3], 0])",
                          R"([[1.5], [3]])", R"([[1.5], [1e12], 0])", R"({"r": 1})"}) {
    EXPECT_THROW(inputs.from_json(Json::parse(bad)), BadValue) << bad;
  }
}

TEST(FmuMappingTest, ParametersAndStepSizeComeFromEnvInit) {
  const ModelDescription md = parse_model_description(
      model(variable("k", 3, "parameter", "Real") + variable("n", 3, "parameter", "Integer") +
                variable("on", 3, "parameter", "Boolean") + variable("u", 0, "input", "Real"),
            R"(<DefaultExperiment startTime="0" stepSize="0.25"/>)"));
  const SettingValues set =
      setting_values(parameter_settings(md, json_of(R"({"parameters": {"k": 2.5, "n": 4, "on": true}})")));
  EXPECT_EQ(set.real_refs, std::vector<fmi2ValueReference>{3});
  EXPECT_EQ(set.values.reals, std::vector<double>{2.5});
  EXPECT_EQ(set.values.integers, std::vector<int>{4});
  EXPECT_EQ(set.values.booleans, std::vector<int>{fmi2True});
  EXPECT_EQ(step_size(md, Json::object()), 0.25);
  EXPECT_EQ(step_size(md, json_of(R"({"step_size": 2})")), 2.0);
  EXPECT_EQ(step_size(parse_model_description(model("")), Json::object()), 1.0);

  try {
    parameter_settings(md, json_of(R"({"parameters": {"u": 1}})"));
    ADD_FAILURE() << "an input taken for a parameter";
  } catch (const BadValue& e) {
    EXPECT_STREQ(e.what(), "the FMU has no parameter 'u'; its parameters: 'k', 'n', 'on'");
  }
  for (const char* bad : {R"({"parameters": {"n": 1.5}})", R"({"parameters": [1]})", R"({"step_size": 0})",
                          R"({"step_size": "1"})"}) {
    EXPECT_THROW(
        {
          const Json env = Json::parse(bad);
          parameter_settings(md, env);
          step_size(md, env);
        },
        BadValue)
        << bad;
  }
}

TEST(FmuModelDescriptionTest, ReadsIdentityCapabilitiesExperimentAndRefusesMalformedVariables) {
  const ModelDescription md = parse_model_description(model(
      variable("x", 1, "output", "Real", R"(start="0.5")"),
      R"(<ModelExchange modelIdentifier="m_me"/><DefaultExperiment startTime="1" stopTime="3" tolerance="1e-6"/>)"));
  EXPECT_EQ(md.guid, "{g}");
  EXPECT_EQ(md.co_simulation, "m_cs");
  EXPECT_TRUE(md.model_exchange);
  EXPECT_EQ(md.experiment.start_time, 1.0);
  EXPECT_EQ(md.experiment.stop_time, 3.0);
  EXPECT_EQ(md.experiment.tolerance, 1e-6);
  EXPECT_FALSE(md.experiment.step_size);
  ASSERT_EQ(md.variables.size(), 1u);
  EXPECT_EQ(md.variables[0].start, "0.5");

  for (const std::string& bad :
       {std::string("<not xml"),
        model(R"(<ScalarVariable name="x" causality="output"><Real/></ScalarVariable>)"),
        model(R"(<ScalarVariable name="x" valueReference="1"/>)"),
        model(variable("x", 1, "output", "Real", R"(min="low")"))}) {
    EXPECT_THROW(parse_model_description(bad), FmuError) << bad;
  }
}

// A zip made entry by entry, as a hostile or careless tool may make one.
class ZipMaker {
 public:
  explicit ZipMaker(const fs::path& path) {
    int error = 0;
    archive_ = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  }
  void add(const std::string& name, const std::string& content, bool symlink = false) {
    contents_.push_back(content);
    zip_source_t* source = zip_source_buffer(archive_, contents_.back().data(), contents_.back().size(), 0);
    const zip_int64_t index = zip_file_add(archive_, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    ASSERT_GE(index, 0) << name;
    if (symlink)
      zip_file_set_external_attributes(archive_, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                       static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
  }
  void folder(const std::string& name) { zip_dir_add(archive_, name.c_str(), ZIP_FL_ENC_UTF_8); }
  ~ZipMaker() { zip_close(archive_); }

 private:
  zip_t* archive_ = nullptr;
  std::deque<std::string> contents_;  // libzip reads them at zip_close: they must not move
};

bool empty_folder(const fs::path& path) {
  return fs::is_empty(path);
}

TEST(FmuArchiveTest, UnpacksIntoAPrivateFolderRemovedAfterwardsWithOrWithoutFolderEntries) {
  TempFolder tmp;
  const ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  {
    ZipMaker zip(tmp / "a.fmu");
    zip.add("modelDescription.xml", "<x/>");
    zip.add("binaries/linux64/m.so", std::string(1000, 'b'));
    zip.folder("resources/");
    zip.add("./resources/data.txt", "d");
  }
  std::string folder;
  {
    const UnpackedFmu unpacked((tmp / "a.fmu").string());
    folder = unpacked.folder();
    EXPECT_EQ(fs::path(folder).parent_path(), tmp.path());
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::file_size(fs::path(folder) / "binaries/linux64/m.so"), 1000u);
    EXPECT_TRUE(fs::is_regular_file(fs::path(folder) / "resources/data.txt"));
  }
  EXPECT_FALSE(fs::exists(folder));
}

TEST(FmuArchiveTest, FoldersOfKilledHostsAreRemovedByTheNextButNotOnesInUseOrJustMade) {
  TempFolder tmp;
  const auto made = [&](const std::string& name, std::chrono::seconds age) {
    const fs::path folder = tmp / name;
    fs::create_directories(folder / "binaries");
    std::ofstream(folder / "binaries/m.so") << "b";
    fs::last_write_time(folder, fs::file_time_type::clock::now() - age);
    return folder;
  };
  const fs::path abandoned = made("nalto-fmu-abandoned", std::chrono::minutes(5)),
                 in_use = made("nalto-fmu-in-use", std::chrono::minutes(5)),
                 just_made = made("nalto-fmu-just-made", std::chrono::seconds(0)),
                 other = made("unrelated", std::chrono::minutes(5));
  fs::create_directory_symlink(other, tmp / "nalto-fmu-link");
  fs::last_write_time(other, fs::file_time_type::clock::now() - std::chrono::minutes(5));
  const int holder = ::open(in_use.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

  remove_abandoned_folders(tmp.path(), std::chrono::seconds(60));
  ::close(holder);
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(in_use / "binaries/m.so")) << "a running host's";
  EXPECT_TRUE(fs::exists(just_made / "binaries/m.so")) << "perhaps not locked yet";
  EXPECT_TRUE(fs::exists(other / "binaries/m.so"));
  EXPECT_TRUE(fs::is_symlink(tmp / "nalto-fmu-link")) << "a link is no folder of ours";
}

TEST(FmuArchiveTest, RefusesEntriesThatEscapeOrLinkAndBoundsTheUnpackedSize) {
  TempFolder tmp;
  fs::create_directory(tmp / "tmp");
  const ScopedEnv tmpdir("TMPDIR", (tmp / "tmp").string());
  struct Case {
    const char* name;
    std::string entry, content;
    bool symlink;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"parent", "../evil", "x", false, "the FMU's entry '../evil' climbs out with '..'; refused"},
      {"deep-parent", "a/b/../../../evil", "x", false, "climbs out with '..'"},
      {"backslash-parent", "a\\..\\..\\evil", "x", false, "climbs out with '..'"},
      {"absolute", "/tmp/evil", "x", false, "the FMU's entry '/tmp/evil' is an absolute path; refused"},
      {"symlink", "binaries/linux64/m.so", "/etc/passwd", true,
       "the FMU's entry 'binaries/linux64/m.so' is a symbolic link; refused"},
      {"large", "big.bin", std::string(5000, 'z'), false, "the FMU unpacks to more than"},
  };
  for (const Case& c : cases) {
    const fs::path path = tmp / (std::string(c.name) + ".fmu");
    {
      ZipMaker zip(path);
      zip.add("modelDescription.xml", "<x/>");
      zip.add(c.entry, c.content, c.symlink);
    }
    try {
      const UnpackedFmu unpacked(path.string(), 4096);
      ADD_FAILURE() << c.name << " was unpacked";
    } catch (const FmuError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.name << ": " << e.what();
    }
    EXPECT_TRUE(empty_folder(tmp / "tmp")) << c.name << " left its folder behind";
    EXPECT_FALSE(fs::exists(tmp / "evil")) << c.name;
  }
  std::ofstream(tmp / "text.fmu") << "not a zip";
  EXPECT_THROW(UnpackedFmu((tmp / "text.fmu").string()), FmuError);
}

std::vector<std::string> lines_of(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(FmuSimulatorTest, CallsTheFmuInTheStandardsOrderAndAnswersItsOutputs) {
  TempFolder tmp;
  const fs::path trace = tmp / "trace";
  const ScopedEnv tracing("NALTO_TEST_FMU_TRACE", trace.string());
  std::string folder;
  {
    FmuSimulator sim(FMUS + "/lag.fmu");
    ASSERT_FALSE(sim.load_error()) << *sim.load_error();
    folder = sim.folder();
    EXPECT_EQ(sim.mappings(),
              json_of(R"({"sensor_space": {"mappings": [{"name": "[0][0]", "name_mapped": "y"},
        {"name": "[1][0]", "name_mapped": "steps"}, {"name": "[2]", "name_mapped": "rising"}]},
        "action_space": {"mappings": [{"name": "[0][0]", "name_mapped": "u"}, {"name": "[1]", "name_mapped": "hold"}]}})"));
    sim.make(json_of(R"({"parameters": {"tau": 0.5, "y0": 0.25}, "sim_address": "localhost:1"})"));
    EXPECT_EQ(sim.reset(), json_of(R"([[[0.25], [0], 0], {"time": 0.0}])"));
    Json answer = sim.step(json_of(R"([[1.0], 0])"));
    const double y1 = 0.25 + 0.75 * (1 - std::exp(-0.1 / 0.5));
    EXPECT_NEAR(answer[0][0][0].get<double>(), y1, 1e-12);
    EXPECT_EQ(answer[0][1], Json::array({1}));
    EXPECT_EQ(answer[0][2], 1);
    EXPECT_EQ(answer[3], false);
    answer = sim.step(json_of(R"([[1.0], true])"));
    EXPECT_NEAR(answer[0][0][0].get<double>(), y1, 1e-12);
    EXPECT_EQ(answer[0][2], 0);
    for (int i = 3; i <= 9; ++i) EXPECT_EQ(sim.step(json_of(R"([[1.0], 0])"))[3], false) << i;
    EXPECT_EQ(sim.step(json_of(R"([[1.0], 0])"))[3], true)
        << "the stopTime 1 is reached after 10 steps of 0.1";
    sim.reset();
  }
  EXPECT_FALSE(fs::exists(folder));
  const std::vector<std::string> calls = lines_of(trace);
  const std::vector<std::string> start = {"fmi2Instantiate",
                                          "fmi2SetupExperiment(start 0, stop 1)",
                                          "fmi2SetReal(2, 0.5)",
                                          "fmi2SetReal(3, 0.25)",
                                          "fmi2EnterInitializationMode",
                                          "fmi2ExitInitializationMode",
                                          "fmi2SetReal(0, 1)",
                                          "fmi2SetBoolean(0, 0)",
                                          "fmi2DoStep(0, 0.1)",
                                          "fmi2SetReal(0, 1)",
                                          "fmi2SetBoolean(0, 1)",
                                          "fmi2DoStep(0.1, 0.1)"};
  ASSERT_GE(calls.size(), start.size());
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + static_cast<long>(start.size())), start);
  const std::vector<std::string> end = {"fmi2DoStep(0.9, 0.1)",
                                        "fmi2Terminate",
                                        "fmi2FreeInstance",
                                        "fmi2Instantiate",
                                        "fmi2SetupExperiment(start 0, stop 1)",
                                        "fmi2SetReal(2, 0.5)",
                                        "fmi2SetReal(3, 0.25)",
                                        "fmi2EnterInitializationMode",
                                        "fmi2ExitInitializationMode",
                                        "fmi2Terminate",
                                        "fmi2FreeInstance"};
  ASSERT_GE(calls.size(), end.size());
  EXPECT_EQ(std::vector<std::string>(calls.end() - static_cast<long>(end.size()), calls.end()), end);
}

TEST(FmuSimulatorTest, AnFmuThatCannotRunAnswersEveryCallWithWhy) {
  struct Case {
    const char* fmu;
    std::vector<std::string> parts;
  };
  const std::vector<Case> cases = {
      {"lag-me-only.fmu", {"offers Model Exchange only; nalto needs a Co-Simulation FMU"}},
      {"lag-win64-only.fmu",
       {"has no binary for linux64 (binaries/linux64/first_order_lag.so); it has binaries for win64"}},
      {"lag-misnamed-binary.fmu",
       {"has no binary for linux64 (binaries/linux64/first_order_lag.so); binaries/linux64 holds lag.so, but "
        "its modelIdentifier 'first_order_lag' names first_order_lag.so"}},
      {"lag-missing-dependency.fmu",
       {"cannot load the FMU's binary binaries/linux64/first_order_lag.so: ", "libnalto_fmu_absent.so",
        "cannot open shared object file"}},
      {"missing.fmu", {"cannot open the FMU", "as a zip archive"}},
  };
  for (const Case& c : cases) {
    FmuSimulator sim(FMUS + "/" + c.fmu);
    ASSERT_TRUE(sim.load_error()) << c.fmu;
    EXPECT_TRUE(sim.load_error()->starts_with("cannot run the FMU " + FMUS + "/" + c.fmu + ": "))
        << *sim.load_error();
    for (const std::string& part : c.parts)
      EXPECT_NE(sim.load_error()->find(part), std::string::npos) << *sim.load_error();
    try {
      sim.make(Json::object());
      ADD_FAILURE() << c.fmu;
    } catch (const FmuError& e) {
      EXPECT_EQ(e.what(), *sim.load_error());
    }
    EXPECT_THROW(sim.sensor_space(), FmuError) << c.fmu;
  }
}

TEST(FmuSimulatorTest, FailuresOfTheFmuAndOfTheRequestNameTheirCause) {
  FmuSimulator sim(FMUS + "/lag-step-error.fmu");
  ASSERT_FALSE(sim.load_error()) << *sim.load_error();
  try {
    sim.make(json_of(R"({"parameters": {"taux": 1}})"));
    ADD_FAILURE() << "an unknown parameter was taken";
  } catch (const sims::BadRequest& e) {
    EXPECT_STREQ(e.what(), "the FMU has no parameter 'taux'; its parameters: 'tau', 'y0', 'unit'");
  }
  EXPECT_THROW(sim.make(json_of(R"({"logging": "yes"})")), sims::BadRequest);
  EXPECT_THROW(sim.step(json_of(R"([[1.0], 0])")), sims::BadRequest) << "a Step before any Reset";

  sim.make(json_of(R"({"parameters": {"tau": -1}})"));
  try {
    sim.reset();
    ADD_FAILURE() << "a refused parameter passed";
  } catch (const FmuError& e) {
    EXPECT_NE(std::string(e.what()).find("the FMU's fmi2SetReal answered fmi2Error; its messages:\n  "
                                         "fmi2Error [logStatusError] tau must be above 0, not -1"),
              std::string::npos)
        << e.what();
  }

  sim.make(Json::object());
  sim.reset();
  EXPECT_THROW(sim.step(json_of(R"([[1.0]])")), sims::BadRequest) << "an action of the wrong shape";
  sim.step(json_of(R"([[1.0], 0])"));
  try {
    sim.step(json_of(R"([[1.0], 0])"));
    ADD_FAILURE() << "the failing doStep passed";
  } catch (const FmuError& e) {
    EXPECT_STREQ(e.what(),
                 "the FMU's fmi2DoStep (from t = 0.1 by 0.1 s) answered fmi2Error; its messages:\n"
                 "  fmi2Error [logStatusError] the solver diverged at t = 0.1");
  }
  try {
    sim.step(json_of(R"([[1.0], 0])"));
    ADD_FAILURE() << "a failed instance stepped on";
  } catch (const FmuError& e) {
    EXPECT_NE(std::string(e.what()).find("it failed in an earlier call; a Reset makes a fresh instance"),
              std::string::npos);
  }
  EXPECT_EQ(sim.reset()[0][1], Json::array({0})) << "a Reset recovers with a fresh instance";
}

}  // namespace
}  // namespace nalto::fmu
