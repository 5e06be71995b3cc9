// How the updater's download compares with curl's, on the same 20 MiB body
// from the same loopback server in the same run:
//   - the updater as a whole process (a local script with one get) against
//     `curl -o /dev/null`, both started the same way, median of several runs;
//   - httpGet in this process against the same curl runs;
//   - peak memory of the updater's process against the body's size
//     (through /usr/bin/time, when it is there).
// Prints figures and ratios; it judges nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "platform/spawn.h"
#include "test_server/test_server.h"
#include "web/http_client.h"

namespace {

constexpr int kRounds = 7;
const char kUrl[] = "http://updates.kelvo.com/bench/fw.bin";

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs a program; its wall time in seconds, and (through /usr/bin/time) its
// peak resident size in KiB, or -1 when that can't be told.
double Timed(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::pair<std::string, std::string>>& env, long* peakKiB) {
  plat::SpawnOptions options;
  options.env = env;
  bool measure = peakKiB != nullptr;
  std::string run = program;
  if (measure) {
    options.args = {"-f", "peak-kib=%M", program};
    run = "/usr/bin/time";
  }
  options.args.insert(options.args.end(), args.begin(), args.end());
  int exitCode = -1;
  std::string output;
  auto start = std::chrono::steady_clock::now();
  bool ended = plat::RunProcess(run, options, 120000, &exitCode, &output);
  double elapsed = Seconds(start);
  if (!ended || exitCode != 0) {
    std::fprintf(stderr, "%s failed (exit %d): %s\n", program.c_str(), exitCode, output.c_str());
    std::exit(1);
  }
  if (measure) {
    size_t at = output.rfind("peak-kib=");
    *peakKiB = at == std::string::npos ? -1 : std::atol(output.c_str() + at + 9);
  }
  return elapsed;
}

}  // namespace

int main() {
  std::string body(kMaxHttpBodySize, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131) % 251);

  test_server::Limits limits;
  limits.lifetimeMs = 600000;
  test_server::Server server(limits);
  test_server::Answer answer;
  answer.body = body;
  server.SetAnswer(kUrl, answer);
  if (!server.Start()) {
    std::fprintf(stderr, "cannot start the loopback server\n");
    return 1;
  }
  std::string proxy = server.ProxyUrl();

  char folderTemplate[] = "/tmp/kelvo-web-bench-XXXXXX";
  if (!mkdtemp(folderTemplate)) return 1;
  std::string folder = folderTemplate;
  std::string script = folder + "/get.txt";
  if (std::FILE* f = std::fopen(script.c_str(), "wb")) {
    std::fprintf(f, "get %s\r\n", kUrl);
    std::fclose(f);
  }
  std::string idle = folder + "/idle.txt";
  if (std::FILE* f = std::fopen(idle.c_str(), "wb")) {
    std::fprintf(f, "wait 0\r\n");
    std::fclose(f);
  }
  std::vector<std::pair<std::string, std::string>> env = {
      {"http_proxy", proxy}, {"https_proxy", proxy}, {"no_proxy", ""}, {"NO_PROXY", ""},
      {"HOME", folder}, {"XDG_STATE_HOME", folder + "/state"}, {"XDG_CONFIG_HOME", folder + "/config"},
      {"XDG_DATA_HOME", folder + "/data"}};
  std::FILE* probe = std::fopen("/usr/bin/time", "rb");
  bool haveTime = probe != nullptr;
  if (probe) std::fclose(probe);

  std::vector<double> program, curl, inProcess;
  long programPeak = -1, curlPeak = -1, idlePeak = -1;
  if (haveTime) Timed(KELVO_BINARY_PATH, {"/NOSERVER", idle}, env, &idlePeak);
  for (int round = 0; round < kRounds; ++round) {
    long peak = -1;
    program.push_back(Timed(KELVO_BINARY_PATH, {"/NOSERVER", script}, env, haveTime ? &peak : nullptr));
    programPeak = std::max(programPeak, peak);
    peak = -1;
    curl.push_back(Timed("/usr/bin/curl", {"-s", "-f", "-o", "/dev/null", kUrl}, env, haveTime ? &peak : nullptr));
    curlPeak = std::max(curlPeak, peak);

    setenv("http_proxy", proxy.c_str(), 1);
    char* received = nullptr;
    int32_t length = 0;
    auto start = std::chrono::steady_clock::now();
    int status = httpGet(kUrl, &received, &length);
    inProcess.push_back(Seconds(start));
    if (status != 200 || length != static_cast<int32_t>(body.size()) || body.compare(0, body.size(), received, body.size()) != 0) {
      std::fprintf(stderr, "httpGet failed: %d\n", status);
      return 1;
    }
    plat::Free(received);
  }
  server.Stop();
  std::string cleanup = "rm -rf '" + folder + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder.c_str());

  double bodyMiB = body.size() / 1048576.0;
  std::printf("web download benchmark: %.0f MiB body, loopback server through http_proxy, median of %d runs\n",
              bodyMiB, kRounds);
  std::printf("  curl -o /dev/null            %7.3f s\n", Median(curl));
  std::printf("  KelvoUpgrader (get, process) %7.3f s   ratio to curl %.2f\n", Median(program),
              Median(program) / Median(curl));
  std::printf("  httpGet in process           %7.3f s   ratio to curl %.2f\n", Median(inProcess),
              Median(inProcess) / Median(curl));
  if (programPeak > 0) {
    double peakMiB = programPeak / 1024.0;
    std::printf("  peak memory: KelvoUpgrader %.1f MiB = body + %.1f MiB; curl %.1f MiB\n", peakMiB,
                peakMiB - bodyMiB, curlPeak / 1024.0);
    std::printf("  KelvoUpgrader without a download (a script of one wait): %.1f MiB; the download adds "
                "%.1f MiB = body + %.1f MiB\n",
                idlePeak / 1024.0, (programPeak - idlePeak) / 1024.0, (programPeak - idlePeak) / 1024.0 - bodyMiB);
  } else {
    std::printf("  peak memory: not measured (/usr/bin/time is missing)\n");
  }
  return 0;
}
