// The allocation-failure sweep: whole runs of the real program in which its
// N-th allocation fails, for every N from 1 to the number of allocations the
// run makes (or every K-th N with --stride K), on two roads:
//
//   local   a /NOSERVER script of many lines, a getlocal and a get;
//   server  a kelvo:// launch with the robot simulated (ConfigSettings.ini
//           beside a copy of the program), the maker-server stand-in on
//           127.0.0.1 through http_proxy, and a follow-up pass.
//
// Every run must end by itself, with no sanitizer or leak report, and with
// what a lack of memory gives at the place that failed: the exit code, the
// end banner (or, on the local road, its absence), the log's error lines and
// the records of the reports (LocalError8, HttpError500, a record lost, a
// report never sent). The program's test hook (KELVO_TEST_FAIL_ALLOCATION,
// see src/platform/memory.h) makes the allocation fail and says its size and
// kind, which tell the place; an allocation this tool can't place fails the
// sweep, so a new one must be thought through here before it passes.
//
// On the server road the program runs in a PID namespace of its own
// (unshare, as root) when it can, so that its search for another running
// copy lists one process and the allocation count doesn't change with
// whatever else runs on the machine.
//
//   alloc_sweep --binary PATH [--road local|server|both] [--stride K]
//               [--no-namespace] [--verbose]
//
// --no-namespace lets the copy search see the whole machine, whose every
// process then costs it an allocation or more (each one swept).
//
// Prints the allocation count of each road, the runs made and a tally of
// the places; exits 0 when every run ended as it should.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "maker_server/maker_server.h"
#include "platform/spawn.h"

namespace fs = std::filesystem;

namespace {

const char kHost[] = "http://updates.kelvo.com/sweep";
const char kVersion[] = "KelvoUpgrader 1.1.18710";
const char kNoBodyMemory[] = "ERROR: httpGetBody - Get body failed. Out of memory.";
const int kRunTimeoutMs = 60000;

struct Run {
  long n = 0;  // the allocation made to fail, 0 for none
  bool ended = false;
  int exitCode = -1;
  std::string output;  // standard output and error
  std::string log;     // the log file, raw
  std::vector<maker_server::Report> reports;
  size_t requests = 0;
  // From the hook's lines.
  bool fired = false;
  std::string kind;
  size_t size = 0;
  long count = -1;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

void ReadHook(Run* run) {
  const std::string fails = "kelvo test hook: allocation ";
  size_t at = run->output.find(fails);
  if (at != std::string::npos) {
    char kind[16] = {0};
    long n = 0;
    size_t size = 0;
    if (std::sscanf(run->output.c_str() + at + fails.size(), "%ld (%15s of %zu bytes)", &n, kind, &size) == 3) {
      run->fired = n == run->n;
      run->kind = kind;
      run->size = size;
    }
  }
  const std::string total = "kelvo test hook: ";
  for (at = run->output.find(total); at != std::string::npos; at = run->output.find(total, at + 1)) {
    long count = 0;
    char word[16] = {0};
    if (std::sscanf(run->output.c_str() + at + total.size(), "%ld %15s", &count, word) == 2 &&
        std::string(word) == "allocations") {
      run->count = count;
    }
  }
}

std::string ReadFile(const fs::path& path) {
  std::string bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
    std::fclose(f);
  }
  return bytes;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "alloc_sweep: cannot write %s\n", path.c_str());
    std::exit(2);
  }
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// The local road traces its report into the log; this takes it out again.
bool TracedReport(const std::string& log, maker_server::Report* report) {
  const std::string open = "\tServer Response Generated:\n{\n: ";
  size_t at = log.find(open);
  if (at == std::string::npos) return false;
  at += open.size();
  size_t end = log.find("\n}\n\n", at);
  if (end == std::string::npos) return false;
  std::string body = log.substr(at, end - at);
  std::string boundary = body.substr(2, body.find("\r\n") - 2);
  *report = maker_server::DecodeReport("multipart/form-data, boundary=" + boundary, body);
  return true;
}

class Sweep {
 public:
  Sweep(std::string binary, bool verbose, bool namespaced)
      : binary_(std::move(binary)), verbose_(verbose) {
    char pattern[] = "/tmp/kelvo-alloc-sweep-XXXXXX";
    if (!mkdtemp(pattern)) {
      std::perror("alloc_sweep: mkdtemp");
      std::exit(2);
    }
    work_ = pattern;
    // A URL launch ends another running copy whose path holds the program's
    // file name, so this copy has a name of its own.
    program_ = work_ / "app" / ("KelvoUpgrader-sweep-" + std::to_string(::getpid()));
    fs::create_directories(program_.parent_path());
    fs::copy_file(binary_, program_);
    fs::permissions(program_, fs::perms::owner_all);
    test_server::Limits limits;
    limits.lifetimeMs = 2 * 60 * 60 * 1000;  // the longest sweep; the server then stops by itself
    limits.maxConnections = 100000;
    server_ = std::make_unique<test_server::Server>(limits);
    if (!server_->Start()) {
      std::fprintf(stderr, "alloc_sweep: the stand-in cannot listen on 127.0.0.1\n");
      std::exit(2);
    }
    unshare_ = namespaced && UnshareWorks();
  }
  ~Sweep() {
    server_->Stop();
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  bool Local(long stride);
  bool Server(long stride);
  // How many runs failed at each place, road by road.
  void PrintPlaces() const {
    for (const auto& place : places_) std::printf("  %-32s %d run(s)\n", place.first.c_str(), place.second);
  }

 private:
  Run Launch(long n, const std::vector<std::string>& args, bool inNamespace);
  // The checks every run must pass; "" when it did.
  std::string Common(const Run& run, bool localRoad);
  std::string LocalOutcome(const Run& run, std::string* place);
  std::string ServerOutcome(const Run& run, std::string* place);
  bool Report(const char* road, const Run& run, const std::string& problem, const std::string& place);
  // Runs the road once for each N = 1, 1 + stride, ... and always count,
  // allocation N failing, with prepare() before each run.
  bool EveryAllocation(const char* road, long count, long stride, const std::function<void()>& prepare,
                       const std::vector<std::string>& args, bool inNamespace);
  void SetUpServer();

  bool UnshareWorks() {
    if (::geteuid() != 0 || !fs::exists("/usr/bin/unshare")) return false;
    plat::SpawnOptions options;
    options.args = {"--pid", "--fork", "--mount-proc", "/bin/true"};
    int code = -1;
    std::string output;
    return plat::RunProcess("/usr/bin/unshare", options, 10000, &code, &output) && code == 0;
  }

  std::string binary_;
  bool verbose_;
  fs::path work_;
  fs::path program_;
  std::unique_ptr<test_server::Server> server_;
  bool unshare_ = false;

  // The scenarios' pieces, chosen so that no two bodies are of one size and
  // none is a power of two like the copy search's lists.
  static constexpr int kComments = 300;
  std::string localScript_;
  fs::path localScriptPath_;
  std::string localFile_ = Repeat("L", 3000);
  std::string remoteFile_ = Repeat("R", 2000);
  std::string serverScript_;
  std::string replyScript_;
  std::string launch_;
  std::string reportUrl_ = std::string(kHost) + "/report";
  std::vector<maker_server::Report> baseline_;
  std::map<std::string, int> places_;
};

Run Sweep::Launch(long n, const std::vector<std::string>& args, bool inNamespace) {
  fs::path home = work_ / "home";
  std::error_code ignored;
  fs::remove_all(home, ignored);
  fs::create_directories(home);
  plat::SpawnOptions options;
  options.env = {{"HOME", home.string()},
                 {"XDG_STATE_HOME", (home / "state").string()},
                 {"XDG_CONFIG_HOME", (home / "config").string()},
                 {"XDG_DATA_HOME", (home / "data").string()},
                 {"XDG_CACHE_HOME", (home / "cache").string()},
                 {"XDG_RUNTIME_DIR", (home / "run").string()},
                 {"http_proxy", server_->ProxyUrl()},
                 {"https_proxy", server_->ProxyUrl()},
                 {"HTTP_PROXY", ""},
                 {"HTTPS_PROXY", ""},
                 {"ALL_PROXY", ""},
                 {"all_proxy", ""},
                 {"no_proxy", ""},
                 {"NO_PROXY", ""},
                 {"ASAN_OPTIONS", "detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"},
                 {"UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"},
                 {"KELVO_TEST_FAIL_ALLOCATION", std::to_string(n)}};
  fs::create_directories(home / "run");
  fs::permissions(home / "run", fs::perms::owner_all);
  std::string program = program_.string();
  options.args = args;
  if (inNamespace) {
    options.args.insert(options.args.begin(), {"--pid", "--fork", "--mount-proc", program});
    program = "/usr/bin/unshare";
  }
  Run run;
  run.n = n;
  run.ended = plat::RunProcess(program, options, kRunTimeoutMs, &run.exitCode, &run.output);
  run.log = ReadFile(home / "state" / "KelvoUpgrader" / "Logs" / "KelvoUpgrader.log");
  run.reports = maker_server::ReportsTo(*server_, reportUrl_);
  run.requests = server_->Requests().size();
  ReadHook(&run);
  return run;
}

std::string Sweep::Common(const Run& run, bool localRoad) {
  if (!run.ended) return "did not end within " + std::to_string(kRunTimeoutMs / 1000) + " s";
  for (const char* sign : {"Sanitizer", "runtime error:", "LeakSanitizer"}) {
    if (Has(run.output, sign)) return std::string("a sanitizer report (") + sign + ")";
  }
  if (run.count < 0) return "ended without the hook's count (crashed or was killed)";
  if (run.n > 0 && !run.fired) return "the allocation made to fail was not announced";
  if (localRoad && Has(run.log, "Kelvo Upgrader Ended")) return "an end banner on the local road";
  for (const auto& report : run.reports) {
    if (!report.decoded) return "a report that does not decode: " + report.problem;
    if (report.version != kVersion) return "a report with another Version part";
  }
  return "";
}

std::string Sweep::LocalOutcome(const Run& run, std::string* place) {
  const std::string ok = "OK\r\n";
  const std::string all = Repeat(ok, kComments + 4);
  maker_server::Report traced;
  bool hasTrace = TracedReport(run.log, &traced);
  if (hasTrace && !traced.decoded) return "the traced report does not decode: " + traced.problem;
  if (run.n == 0 || !run.fired) {
    *place = "none";
    if (run.exitCode != 0 || !hasTrace || traced.log != all) return "the run without a failure is not the expected one";
    return "";
  }
  if (run.kind == "alloc" && run.size == localScript_.size() + 1) {
    *place = "script file read";
    std::string line = "ERROR - Failed to read file [" + localScriptPath_.string() + "]. Error=8";
    if (run.exitCode != 8) return "exit code " + std::to_string(run.exitCode) + ", not 8";
    if (!Has(run.log, line)) return "no line \"" + line + "\"";
    if (!Has(run.log, "ERROR - Failed to read script file [" + localScriptPath_.string() + "]. Error=8")) {
      return "no failed-script line with 8";
    }
    if (Has(run.log, "Run: [") || hasTrace) return "lines ran or a report was traced after the script read failed";
    return "";
  }
  if (run.exitCode != 0) return "exit code " + std::to_string(run.exitCode) + ", not 0";
  if (!Has(run.log, "Script execution complete.")) return "the run did not complete";
  if (run.kind == "alloc" && run.size == 65536) {
    *place = "report body";
    if (hasTrace) return "a report was traced without its storage";
    if (!Has(run.log, "There is no reply URL. Tracing out the response data.")) return "no tracing line";
    return "";
  }
  if (!hasTrace) return "no report traced";
  if (run.kind == "alloc" && run.size == localFile_.size() + 1) {
    *place = "getlocal file read";
    if (traced.log != Repeat(ok, kComments) + "LocalError8\r\n") return "the Log part is not the lines up to a LocalError8";
    return "";
  }
  if (run.kind == "alloc" && run.size == remoteFile_.size() + 1) {
    *place = "get body";
    if (!Has(run.log, kNoBodyMemory)) return "no out-of-memory line for the body";
    if (traced.log != Repeat(ok, kComments + 1) + "HttpError500\r\n") {
      return "the Log part is not the lines up to an HttpError500";
    }
    return "";
  }
  if (run.kind == "realloc") {
    *place = "status records";
    // Growing failed: the buffer is emptied and the record in hand dropped;
    // the records after it are kept.
    if (traced.log.size() >= all.size() || all.compare(all.size() - traced.log.size(), traced.log.size(), traced.log) != 0) {
      return "the Log part is not what was recorded after the failed growth";
    }
    return "";
  }
  *place = run.kind + " of " + std::to_string(run.size);
  return "an allocation this sweep cannot place";
}

std::string Sweep::ServerOutcome(const Run& run, std::string* place) {
  const auto& base = baseline_;
  auto endedWith = [&](int code) {
    return Has(run.log, "************ Kelvo Upgrader Ended - ret code = " + std::to_string(code) + " *****************");
  };
  auto sameAs = [&](size_t i) {
    return i < run.reports.size() && i < base.size() && run.reports[i].log == base[i].log &&
           run.reports[i].robot == base[i].robot;
  };
  if (run.n == 0 || !run.fired || (run.kind == "alloc" && run.size >= 1024 && run.size < 65536 &&
                                   (run.size & (run.size - 1)) == 0)) {
    // The copy search gives up without memory, as if no copy were running.
    *place = run.n == 0 || !run.fired ? "none" : "copy search";
    if (run.exitCode != 0 || !endedWith(0)) return "not ended with 0";
    if (run.reports.size() != 2 || !sameAs(0) || !sameAs(1)) return "the reports are not those of a whole run";
    return "";
  }
  if (run.kind == "alloc" && run.size == launch_.size() + 5) {
    *place = "URL buffer";
    if (run.exitCode != 255 || !endedWith(-1)) return "not ended with -1";
    if (run.requests != 0) return "requests were made";
    if (!Has(run.output, "Kelvo Robot Updater: ")) return "no out-of-memory message";
    if (Has(run.log, "Script file HTTP URL")) return "the URL road went on";
    return "";
  }
  if (run.exitCode != 0 || !endedWith(0)) return "not ended with 0";
  const std::string secondPass = base.size() == 2 ? base[1].log : "";
  if (run.kind == "alloc" && run.size == serverScript_.size() + 1) {
    *place = "script download";
    if (!Has(run.log, kNoBodyMemory) || !Has(run.log, "ERROR - Failed to download script file. Error=500")) {
      return "no out-of-memory and failed-download lines";
    }
    if (run.reports.size() != 2 || run.reports[0].log != "HttpError 500\r\n" || !run.reports[0].robot.empty() ||
        run.reports[1].log != secondPass) {
      return "the reports are not a failed download and the follow-up pass";
    }
    return "";
  }
  if (run.kind == "alloc" && run.size == remoteFile_.size() + 1) {
    *place = "get body";
    if (!Has(run.log, kNoBodyMemory)) return "no out-of-memory line";
    if (run.reports.size() != 2 || run.reports[0].log != "OK\r\nHttpError500\r\n" || run.reports[1].log != secondPass) {
      return "the reports are not a get failing with 500 and the follow-up pass";
    }
    return "";
  }
  if (run.kind == "alloc" && run.size == replyScript_.size() + 1) {
    *place = "reply body";
    if (!Has(run.log, kNoBodyMemory)) return "no out-of-memory line";
    if (run.reports.size() != 1 || !sameAs(0)) return "not the first report alone";
    if (Has(run.log, "Run: [send gettime]")) return "a follow-up pass ran without its script";
    return "";
  }
  if (run.kind == "alloc" && run.size == 65536) {
    *place = "report body";
    size_t built = Count(run.log, "Posting status to Reply URL...") - 1;
    if (Count(run.log, "\nContentType:[") != built) return "a report without storage was traced";
    if (run.reports.size() != built || (built == 1 && !sameAs(0))) return "the reports sent are not those built";
    if (built > 1) return "more reports than expected";
    if (built == 0 && Has(run.log, "Run: [send gettime]")) return "a follow-up pass ran without a report";
    return "";
  }
  if (run.kind == "realloc" && Has(run.log, "failed. Not Enough Memory\n")) {
    *place = "robot answers";
    if (run.reports.size() != 2) return "not two reports";
    int failed = 0;
    for (size_t i = 0; i < 2; ++i) {
      const std::string& log = run.reports[i].log;
      const std::string tail = "LocalError8\r\n";
      if (log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0) {
        ++failed;
        std::string before = log.substr(0, log.size() - tail.size());
        if (base[i].log.compare(0, before.size(), before) != 0) return "the lines before the LocalError8 differ";
      }
    }
    if (failed != 1) return "not one pass ending with LocalError8";
    return "";
  }
  if (run.kind == "realloc") {
    *place = "status records";
    if (run.reports.size() != 2 || run.reports[0].robot != base[0].robot || run.reports[1].robot != base[1].robot) {
      return "a lost status record changed the run";
    }
    int shorter = 0;
    for (size_t i = 0; i < 2; ++i) {
      const std::string& got = run.reports[i].log;
      const std::string& want = base[i].log;
      if (got == want) continue;
      if (got.size() >= want.size() || want.compare(want.size() - got.size(), got.size(), got) != 0) {
        return "the Log part is not what was recorded after the failed growth";
      }
      ++shorter;
    }
    if (shorter != 1) return "not one Log part short of its records";
    return "";
  }
  *place = run.kind + " of " + std::to_string(run.size);
  return "an allocation this sweep cannot place";
}

bool Sweep::Report(const char* road, const Run& run, const std::string& problem, const std::string& place) {
  if (problem.empty()) {
    ++places_[std::string(road) + ": " + place];
    if (verbose_) std::printf("  %s N=%ld (%s %zu) %s: ok\n", road, run.n, run.kind.c_str(), run.size, place.c_str());
    return true;
  }
  std::printf("FAILED %s N=%ld (%s of %zu bytes, %s): %s; exit code %d\n", road, run.n, run.kind.c_str(), run.size,
              place.c_str(), problem.c_str(), run.exitCode);
  std::printf("--- output\n%s--- log\n%s---\n", run.output.c_str(), run.log.c_str());
  return false;
}

bool Sweep::EveryAllocation(const char* road, long count, long stride, const std::function<void()>& prepare,
                            const std::vector<std::string>& args, bool inNamespace) {
  bool localRoad = std::string(road) == "local";
  bool good = true;
  long runs = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (long n = 1; n <= count; n = n == count || n + stride <= count ? n + stride : count) {
    prepare();
    Run run = Launch(n, args, inNamespace);
    ++runs;
    std::string place;
    std::string problem = Common(run, localRoad);
    if (problem.empty()) problem = localRoad ? LocalOutcome(run, &place) : ServerOutcome(run, &place);
    good = Report(road, run, problem, place) && good;
  }
  std::printf("%s: %ld runs (N = 1..%ld, stride %ld) in %.1f s: %s\n", road, runs, count, stride,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
              good ? "all ended as they should" : "FAILURES");
  return good;
}

bool Sweep::Local(long stride) {
  localScriptPath_ = work_ / "local.txt";
  localScript_.clear();
  for (int i = 0; i < kComments; ++i) localScript_ += "# line " + std::to_string(i) + "\r\n";
  fs::path file = work_ / "local.bin";
  WriteFile(file, localFile_);
  localScript_ += "getlocal " + file.string() + "\r\nget " + kHost + "/remote.bin\r\n# end\r\n";
  WriteFile(localScriptPath_, localScript_);
  auto serve = [&] {
    server_->Reset();
    server_->SetAnswer(std::string(kHost) + "/remote.bin", maker_server::ScriptReply(remoteFile_));
  };
  std::vector<std::string> args = {"/NOSERVER", localScriptPath_.string()};

  serve();
  auto t0 = std::chrono::steady_clock::now();
  Run base = Launch(0, args, false);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::string place;
  std::string problem = Common(base, true);
  if (problem.empty()) problem = LocalOutcome(base, &place);
  if (!Report("local", base, problem, place)) return false;
  std::printf("local: %ld allocations in a whole run (%.2f s a run)\n", base.count, seconds);

  return EveryAllocation("local", base.count, stride, serve, args, false);
}

void Sweep::SetUpServer() {
  server_->Reset();
  server_->SetAnswer(std::string(kHost) + "/update.txt", maker_server::ScriptReply(serverScript_));
  server_->SetAnswer(std::string(kHost) + "/image.bin", maker_server::ScriptReply(remoteFile_));
  server_->SetAnswers(reportUrl_, {maker_server::ScriptReply(replyScript_), maker_server::EmptyReply()});
}

bool Sweep::Server(long stride) {
  fs::path app = program_.parent_path();
  WriteFile(app / "ConfigSettings.ini",
            "[RobotSimulationSettings]\r\nSimulateRobotResponses=1\r\n"
            "[CurrentRobotDetails]\r\nHardware=Zarn\r\nSoftwareVersion=3\r\nLDSSoftwareVersion=1\r\nModelId=M1\r\n"
            "[LatestRobotImageDetails]\r\nUpgradeImageSize_Zarn=4096\r\n");
  fs::path responses = app / "ResponseFiles" / "Zarn" / "3_1" / "M1";
  WriteFile(responses / "getversion.txt", "getversion\r\nSoftware,3,1,2210\r\n\x1a");
  WriteFile(responses / "getVersion_AfterUpdate.txt", "getversion\r\nSoftware,3,2,2305\r\n\x1a");
  serverScript_ = "send getversion\r\nget " + std::string(kHost) + "/image.bin\r\nupload code reboot\r\nsend getversion\r\n";
  // The echo of testmode grows the robot's answers past their first 1024 bytes.
  replyScript_ = "send getversion\r\nsend gettime\r\nsend testmode " + Repeat("echo ", 300) + "\r\n";
  launch_ = "kelvo://updates.kelvo.com/sweep/update.txt?Reply-To=" + reportUrl_;
  std::vector<std::string> args = {launch_};

  SetUpServer();
  auto t0 = std::chrono::steady_clock::now();
  Run base = Launch(0, args, unshare_);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  baseline_ = base.reports;
  std::string place;
  std::string problem = Common(base, false);
  const std::string v31 = "getversion\r\nSoftware,3,1,2210\r\n\x1a";
  const std::string v32 = "getversion\r\nSoftware,3,2,2305\r\n\x1a";
  if (problem.empty() &&
      (base.reports.size() != 2 || base.reports[0].log != "OK\r\nOK\r\nOK\r\nOK\r\nOK\r\n" ||
       base.reports[0].robot != v31 + "\tUpload code reboot Size 4096\r\n" + v32 ||
       base.reports[1].log != "OK\r\nOK\r\nOK\r\nOK\r\n" ||
       base.reports[1].robot != v32 + "gettime\r\nFriday 9:34:06\r\ntestmode " + Repeat("echo ", 300) + "\r\n")) {
    problem = "the run without a failure is not the expected one";
  }
  if (problem.empty()) problem = ServerOutcome(base, &place);
  if (!Report("server", base, problem, place)) return false;
  std::printf("server: %ld allocations in a whole run with a follow-up pass (%.2f s a run%s)\n", base.count, seconds,
              unshare_ ? ", in a PID namespace of its own" : "; other processes change the count of the copy search");

  return EveryAllocation("server", base.count, stride, [this] { SetUpServer(); }, args, unshare_);
}

int Usage() {
  std::fprintf(stderr,
               "usage: alloc_sweep --binary PATH [--road local|server|both] [--stride K] [--no-namespace] "
               "[--verbose]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary;
  std::string road = "both";
  long stride = 1;
  bool verbose = false;
  bool namespaced = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--binary" && i + 1 < argc) {
      binary = argv[++i];
    } else if (arg == "--road" && i + 1 < argc) {
      road = argv[++i];
    } else if (arg == "--stride" && i + 1 < argc) {
      stride = std::atol(argv[++i]);
    } else if (arg == "--no-namespace") {
      namespaced = false;
    } else if (arg == "--verbose") {
      verbose = true;
    } else {
      return Usage();
    }
  }
  if (binary.empty() || stride < 1 || (road != "local" && road != "server" && road != "both")) return Usage();

  bool good = true;
  {
    Sweep sweep(binary, verbose, namespaced);
    if (road != "server") good = sweep.Local(stride) && good;
    if (road != "local") good = sweep.Server(stride) && good;
    std::printf("where the allocations failed:\n");
    sweep.PrintPlaces();
  }
  std::printf("alloc_sweep: %s\n", good ? "passed" : "FAILED");
  return good ? 0 : 1;
}
