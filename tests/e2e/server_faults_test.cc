// The updater of each build, run as a real process against scripted servers
// that misbehave: bodies cut off, a body without end, a server that never
// answers and one that drips, a run killed during a download. What must hold:
// files are replaced only by complete ones, cut packages are resumed, nothing
// waits for ever, and the run moves on to the next server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "e2e/builds.h"
#include "e2e/process_runner.h"
#include "http/test_server.h"
#include "support/temp_folder.h"

namespace updater::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Headers = std::vector<std::pair<std::string, std::string>>;

// A base URL where nothing listens: an attempt there fails at once.
std::string DeadServer() {
  TestServer server;
  server.Start();
  std::string url = server.URL("/");
  server.Stop();
  return url;
}

class ServerFaultsTest : public ::testing::TestWithParam<Build (*)()> {
 protected:
  void SetUp() override {
    build_ = GetParam()();
    if (!BuildAvailable(build_)) GTEST_SKIP() << "no Windows build tree";
    program_ = temp_.Path() + "VOXA app/";
    fs::create_directories(program_ + "Update");
    fs::copy_file(build_.updater, program_ + "Updater.exe");
    fs::copy_file(build_.voxa100, program_ + "VOXA.exe");
    oldList_ = DeadServer() + "\r\n";
    WriteWholeFile(program_ + "UpdateServer.lst", oldList_);
  }

  // A server folder `folder` whose files are answered by `answers` (by file
  // name); other files are missing. Before Start().
  static void Serve(TestServer& server, const std::string& folder,
                    std::map<std::string, TestServer::Handler> answers) {
    for (auto& [file, answer] : answers) server.Handle("/" + folder + "/" + file, answer);
  }
  // The base URL of a folder of a started server.
  static std::string Base(TestServer& server, const std::string& folder) {
    return server.URL("/" + folder + "/");
  }

  // The files of a good server offering VOXA 1.05 in voxa105.mxu, each
  // answered in full; `package` answers the package instead when given.
  std::map<std::string, TestServer::Handler> GoodServer(TestServer::Handler package = nullptr) {
    std::map<std::string, TestServer::Handler> files = {
        {"UpdateInfo.txt", Whole("ok")},
        {"UpdateServer.lst", Whole(kNewList)},
        {"VersionInfo.txt", Whole("VOXA   voxa105.mxu   105\r\n")},
        {"voxa105.mxu", package ? package : Whole(Package())},
    };
    return files;
  }

  static TestServer::Handler Whole(std::string body) {
    return [body](const SeenRequest&) {
      ScriptedResponse response;
      response.body = body;
      return response;
    };
  }

  // VOXA 1.05 packed by mxupack, made once per test.
  const std::string& Package() {
    if (!package_.empty()) return package_;
    TempFolder staging;
    fs::copy_file(build_.voxa105, staging.Path() + "VOXA.exe");
    WriteWholeFile(staging.Path() + "Readme.txt", "new readme");
    const std::string file = temp_.Path() + "voxa105.mxu";
    ProcessResult made =
        RunProcess({MXUPACK, "create", file, staging.Path(), "--method", "zlib"}, temp_.Path());
    EXPECT_EQ(made.exitCode, 0) << made.errors;
    package_ = ReadWholeFile(file);
    return package_;
  }

  std::vector<std::string> Command(const Lines& parameters) {
    return BuildCommand(build_, program_ + "Updater.exe", parameters);
  }

  // A -dontask run that tries `server` first; its console lines.
  Lines Run(const std::string& server) {
    ProcessResult result = RunProcess(Command({"-dontask", "-server", server}), program_, "", 300);
    EXPECT_EQ(result.exitCode, 0) << result.errors
                                  << ReadWholeFile(program_ + "Update/Updater.log");
    return OutputLines(result.output);
  }

  Lines OutputLines(const std::string& output) { return ConsoleLines(output, build_.windows); }

  // The line printed right after `line`, or "(missing)".
  static std::string After(const Lines& lines, const std::string& line) {
    auto found = std::find(lines.begin(), lines.end(), line);
    return found == lines.end() || found + 1 == lines.end() ? "(missing)" : *(found + 1);
  }

  static bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // The requests `server` saw for `path`.
  static std::vector<SeenRequest> RequestsFor(TestServer& server, const std::string& path) {
    std::vector<SeenRequest> seen;
    for (const SeenRequest& request : server.Requests())
      if (request.target == path) seen.push_back(request);
    return seen;
  }

  // The files left in Update\ other than the log and the lock, which every run
  // keeps there.
  std::vector<std::string> UpdateFolderFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(program_ + "Update"))
      if (entry.path().filename() != "Updater.log" && entry.path().filename() != "Updater.lock")
        names.push_back(entry.path().filename());
    return names;
  }

  // The milliseconds of the log record of the GET of `url`, or -1.
  int64_t LoggedMilliseconds(const std::string& url) {
    const std::string log = ReadWholeFile(program_ + "Update/Updater.log");
    size_t record = log.find("GET " + url + ", ");
    if (record == std::string::npos) return -1;
    size_t end = log.find(" ms", record);
    size_t start = log.rfind(' ', end - 1) + 1;
    return std::stoll(log.substr(start, end - start));
  }

  static constexpr char kNewList[] = "http://fresh.invalid/voxa/\r\n";

  Build build_;
  std::string oldList_;  // UpdateServer.lst at the start: one server that is down
  TempFolder temp_;
  std::string program_;
  std::string package_;
};

constexpr char ServerFaultsTest::kNewList[];

// A list cut off at every attempt, resumes included: the old list stays byte
// for byte and no temporary file is left. A package cut off from a server
// that cannot resume leaves no file in Update\.
TEST_P(ServerFaultsTest, CutDownloadsLeaveTheOldFilesAndNoPieces) {
  TestServer server;
  const std::string list(1000, 'x');
  Serve(server, "list",
        {{"UpdateInfo.txt", Whole("ok")},
         {"UpdateServer.lst", [&](const SeenRequest& request) {
            ScriptedResponse response = AnswerWithRanges(request, list, {{"ETag", "\"list-1\""}});
            response.cutAfter = 10;
            return response;
          }}});
  Serve(server, "package", GoodServer([&](const SeenRequest&) {
          ScriptedResponse response;
          response.body = Package();
          response.cutAfter = static_cast<int64_t>(Package().size() / 2);
          return response;  // no validator: no resume
        }));
  Package();
  ASSERT_TRUE(server.Start());

  Lines lines = Run(Base(server, "list"));
  EXPECT_EQ(After(lines, "Downloading server list..."),
            "Error: Error reading data from the opened session.");
  EXPECT_EQ(RequestsFor(server, "/list/UpdateServer.lst").size(), 4u);  // three resumes
  EXPECT_EQ(ReadWholeFile(program_ + "UpdateServer.lst"), oldList_);
  EXPECT_FALSE(fs::exists(program_ + "UpdateServer.lst.part"));

  lines = Run(Base(server, "package"));
  EXPECT_EQ(After(lines, "Downloading... : VOXA"),
            "Error: Error reading data from the opened session.");
  EXPECT_EQ(RequestsFor(server, "/package/voxa105.mxu").size(), 1u);
  EXPECT_EQ(UpdateFolderFiles(), std::vector<std::string>{});
  EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.voxa100));
}

// A package cut off at half is completed by one more request: the rest by a
// server that honours Range, the whole package again by one that does not.
TEST_P(ServerFaultsTest, ACutPackageIsResumedAndInstalled) {
  struct {
    const char* name;
    bool honoursRange;
  } cases[] = {{"Range honoured", true}, {"Range ignored", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::copy_file(build_.voxa100, program_ + "VOXA.exe", fs::copy_options::overwrite_existing);
    TestServer server;
    const Headers validator{{"ETag", "\"package-1\""}};
    std::atomic<int> answered{0};
    Serve(server, "main", GoodServer([&](const SeenRequest& request) {
            ScriptedResponse response = c.honoursRange
                                            ? AnswerWithRanges(request, Package(), validator)
                                            : AnswerWithRanges(SeenRequest(), Package(), validator);
            if (answered++ == 0) response.cutAfter = static_cast<int64_t>(Package().size() / 2);
            return response;
          }));
    Package();
    ASSERT_TRUE(server.Start());
    Lines lines = Run(Base(server, "main"));

    EXPECT_TRUE(Contains(lines, "Update finished.")) << ::testing::PrintToString(lines);
    EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.voxa105));
    std::vector<SeenRequest> seen = RequestsFor(server, "/main/voxa105.mxu");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].headers["range"], "bytes=" + std::to_string(Package().size() / 2) + "-");
    EXPECT_EQ(seen[1].headers["if-range"], "\"package-1\"");
    EXPECT_NE(ReadWholeFile(program_ + "Update/Updater.log").find("Resuming GET "),
              std::string::npos);
    EXPECT_EQ(UpdateFolderFiles(), std::vector<std::string>{});
  }
}

// A state file without end is stopped at 16 MiB; the next server is tried.
TEST_P(ServerFaultsTest, AnEndlessStateFileIsAbortedAndTheNextServerTried) {
  TestServer server;
  Serve(server, "endless", {{"UpdateInfo.txt", [](const SeenRequest&) {
                               ScriptedResponse response;
                               response.generatedSize = int64_t(1) << 40;
                               response.chunked = true;
                               return response;
                             }}});
  Serve(server, "good", GoodServer());
  Package();
  ASSERT_TRUE(server.Start());
  const std::string endless = Base(server, "endless");
  const std::string good = Base(server, "good");
  WriteWholeFile(program_ + "UpdateServer.lst", good + "\r\n");

  Lines lines = Run(endless);
  EXPECT_EQ(After(lines, "Connecting to update server... : " + endless),
            "Error: Download aborted.");
  EXPECT_TRUE(Contains(lines, "Connecting to update server... : " + good));
  EXPECT_TRUE(Contains(lines, "Update finished."));
  EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.voxa105));
  // What was taken of the body: 16 MiB and at most one read more.
  const std::string log = ReadWholeFile(program_ + "Update/Updater.log");
  const std::string record = "GET " + endless + "UpdateInfo.txt, ";
  size_t at = log.find(record);
  ASSERT_NE(at, std::string::npos) << log;
  const int64_t taken = std::stoll(log.substr(at + record.size()));
  EXPECT_GT(taken, 16 << 20);
  EXPECT_LE(taken, (16 << 20) + 65536);
}

// A run killed while the list is being downloaded leaves the old list whole,
// and the piece it left does not stand in the way of the next run.
TEST_P(ServerFaultsTest, ARunKilledDuringTheListDownloadKeepsTheOldList) {
  TestServer server;
  Serve(server, "dripping",
        {{"UpdateInfo.txt", Whole("ok")}, {"UpdateServer.lst", [](const SeenRequest&) {
                                             ScriptedResponse response;
                                             response.body = std::string(5000, 'x');
                                             response.dripMilliseconds = 100;
                                             return response;
                                           }}});
  Serve(server, "good", GoodServer());
  Package();
  ASSERT_TRUE(server.Start());

  const std::string piece = program_ + "UpdateServer.lst.part";
  {
    TerminalProcess updater(Command({"-dontask", "-server", Base(server, "dripping")}), program_);
    for (int i = 0; i < 600 && !(fs::exists(piece) && fs::file_size(piece) > 0); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(fs::exists(piece));
    updater.Signal(SIGKILL);
    int exitCode = 0;
    ASSERT_TRUE(updater.WaitForExit(30000, &exitCode));
  }
  EXPECT_EQ(ReadWholeFile(program_ + "UpdateServer.lst"), oldList_);

  Lines lines = Run(Base(server, "good"));
  EXPECT_TRUE(Contains(lines, "Update finished.")) << ::testing::PrintToString(lines);
  EXPECT_EQ(ReadWholeFile(program_ + "UpdateServer.lst"), kNewList);
  EXPECT_FALSE(fs::exists(piece));
}

// The one test that waits in real time. A server that never answers and one
// that sends a byte every two seconds each end after their 30 s, with the
// lines of an unreachable server and of a broken transfer, and the next
// server is tried after each.
TEST_P(ServerFaultsTest, SilentAndDrippingServersEndAfterTheirTimeLimits) {
  TestServer server;
  Serve(server, "silent", {{"UpdateInfo.txt", [](const SeenRequest&) {
                              ScriptedResponse response;
                              response.silent = true;
                              return response;
                            }}});
  Serve(server, "dripping", {{"UpdateInfo.txt", [](const SeenRequest&) {
                                ScriptedResponse response;
                                response.body = std::string(1000, 'o');
                                response.dripMilliseconds = 2000;
                                return response;
                              }}});
  ASSERT_TRUE(server.Start());
  const std::string silent = Base(server, "silent");
  const std::string dripping = Base(server, "dripping");
  WriteWholeFile(program_ + "UpdateServer.lst", dripping + "\r\n" + DeadServer() + "\r\n");

  const auto start = std::chrono::steady_clock::now();
  Lines lines = Run(silent);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(After(lines, "Connecting to update server... : " + silent),
            "Error: Error sending the HTTP request to the server.");
  EXPECT_EQ(After(lines, "Connecting to update server... : " + dripping),
            "Error: Error reading data from the opened session.");
  EXPECT_TRUE(Contains(lines, "Tried all servers of the update server list."));
  for (const std::string& url : {silent, dripping}) {
    SCOPED_TRACE(url);
    const int64_t waited = LoggedMilliseconds(url + "UpdateInfo.txt");
    EXPECT_GE(waited, 29000);
    EXPECT_LT(waited, 45000);
  }
  EXPECT_LT(seconds, 120);
}

INSTANTIATE_TEST_SUITE_P(Builds, ServerFaultsTest, ::testing::Values(&PosixBuild, &WindowsBuild),
                         [](const ::testing::TestParamInfo<Build (*)()>& info) {
                           return info.param().name;
                         });

}  // namespace
}  // namespace updater::testing
