#include "robot_emulator.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace robot_emulator {
namespace {

bool HasRebootNoCase(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.find("reboot") != std::string::npos;
}

}  // namespace

Emulator::Emulator(const Options& options) : options_(options) {}

Emulator::~Emulator() { Stop(); }

bool Emulator::Start() {
  pty_ = plat::OpenPseudoTerminal(&portName_, &devicePath_);
  if (!pty_) return false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void Emulator::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (pty_) {
    plat::ClosePseudoTerminal(pty_);
    pty_ = nullptr;
  }
}

void Emulator::HangUp() { hangUp_ = true; }

void Emulator::SetReporter(void (*reporter)(const std::string& event)) { reporter_ = reporter; }

void Emulator::Report(const std::string& event) {
  if (reporter_) reporter_(event);
}

std::string Emulator::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> Emulator::Commands() {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<UploadRecord> Emulator::Uploads() {
  std::lock_guard<std::mutex> lock(mutex_);
  return uploads_;
}

bool Emulator::WaitForCommands(size_t count, int timeoutMs) {
  for (int waited = 0;; waited += 5) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (commands_.size() >= count) return true;
    }
    if (waited >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Emulator::WaitForUploads(size_t count, int timeoutMs) {
  for (int waited = 0;; waited += 5) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (uploads_.size() >= count) return true;
    }
    if (waited >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Emulator::Pause(int ms) {
  for (int slept = 0; slept < ms; slept += 10) {
    if (stop_ || hangUp_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, ms - slept)));
  }
  return !stop_;
}

bool Emulator::Send(const std::string& bytes) {
  if (!pty_ || bytes.empty()) return pty_ != nullptr;
  return plat::PseudoTerminalWrite(pty_, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void Emulator::DoHangUp() {
  if (pty_) plat::ClosePseudoTerminal(pty_);
  pty_ = nullptr;
  hungUp_ = true;
  Report("hung up");
}

void Emulator::Serve() {
  std::vector<char> chunk(1 << 16);
  while (!stop_ && !hungUp_) {
    if (hangUp_) {
      DoHangUp();
      break;
    }
    uint32_t want = static_cast<uint32_t>(chunk.size());
    if (inImage_ && options_.imageBytesPerSecond > 0) {
      // A tenth of a second's worth every tenth of a second.
      want = static_cast<uint32_t>(std::max(1, options_.imageBytesPerSecond / 10));
      if (!Pause(100)) break;
    }
    int n = plat::PseudoTerminalRead(pty_, chunk.data(), want, 20);
    if (n < 0) break;
    if (n == 0) continue;
    bytesReceived_ += n;
    if (draining_) continue;
    if (options_.recordTraffic) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(chunk.data(), static_cast<size_t>(n));
    }
    size_t at = 0;
    while (at < static_cast<size_t>(n) && !hungUp_) {
      if (inImage_) {
        size_t left = static_cast<size_t>(imageExpected_ - current_.received);
        size_t take = std::min(left, static_cast<size_t>(n) - at);
        OnImageBytes(chunk.data() + at, take);
        at += take;
        continue;
      }
      char c = chunk[at++];
      line_ += c;
      if (c == '\r') {
        std::string line;
        line.swap(line_);
        OnLine(line);
      }
    }
  }
}

void Emulator::OnLine(const std::string& line) {
  std::string text = line.substr(0, line.size() - 1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(text);
  }
  Report("command: " + text);
  if (options_.silent) return;

  if (text.compare(0, 7, "Upload ") == 0) {
    size_t size = text.rfind(" Size ");
    current_ = UploadRecord();
    current_.line = line;
    current_.announced = size == std::string::npos ? 0 : std::strtoll(text.c_str() + size + 6, nullptr, 10);
    sumBytes_.clear();
    imageSum_ = 0;
    if (options_.echo && !Send(line)) return;
    if (!Pause(options_.enqDelayMs) || !options_.sendEnq) return;
    if (!Send(std::string(1, kEnq))) return;
    inImage_ = true;
    imageExpected_ = current_.announced;
    if (imageExpected_ <= 0) OnImageBytes(nullptr, 0);
    return;
  }

  if (options_.unanswered.count(text)) return;
  auto answer = options_.answers.find(text);
  std::string bytes = options_.echo ? line : std::string();
  bytes += answer != options_.answers.end() ? answer->second : options_.defaultAnswer;
  bytes += kEnd;
  bytes += options_.afterEnd;
  SendAnswer(bytes);
  auto late = options_.late.find(text);
  if (late != options_.late.end() && !hungUp_ && Pause(options_.lateMs)) Send(late->second);
}

void Emulator::SendAnswer(const std::string& bytes) {
  size_t limit = bytes.size();
  if (options_.hangUpAfterAnswerBytes >= 0) {
    limit = std::min(limit, static_cast<size_t>(options_.hangUpAfterAnswerBytes));
  }
  if (options_.dripMs > 0) {
    for (size_t i = 0; i < limit; ++i) {
      if (!Send(bytes.substr(i, 1)) || !Pause(options_.dripMs)) return;
    }
  } else if (!Send(bytes.substr(0, limit))) {
    return;
  }
  if (options_.hangUpAfterAnswerBytes >= 0) {
    Pause(200);
    DoHangUp();
  }
}

void Emulator::OnImageBytes(const char* data, size_t size) {
  int64_t imageSize = imageExpected_ >= 4 ? imageExpected_ - 4 : imageExpected_;
  for (size_t i = 0; i < size; ++i) {
    if (current_.received + static_cast<int64_t>(i) < imageSize) continue;
    sumBytes_ += data[i];
  }
  if (options_.recordTraffic) {
    size_t imageBytes = 0;
    if (current_.received < imageSize) {
      imageBytes = static_cast<size_t>(std::min<int64_t>(imageSize - current_.received, size));
    }
    current_.image.append(data, imageBytes);
  }
  for (size_t i = 0; i < size && current_.received + static_cast<int64_t>(i) < imageSize; ++i) {
    imageSum_ += static_cast<uint8_t>(data[i]);
  }
  current_.received += static_cast<int64_t>(size);

  if (options_.hangUpAfterImageBytes >= 0 && current_.received >= options_.hangUpAfterImageBytes) {
    inImage_ = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      uploads_.push_back(current_);
    }
    DoHangUp();
    return;
  }
  if (current_.received < imageExpected_) return;

  inImage_ = false;
  uint32_t sent = 0;
  for (size_t i = 0; i < sumBytes_.size() && i < 4; ++i) {
    sent |= static_cast<uint32_t>(static_cast<uint8_t>(sumBytes_[i])) << (8 * i);
  }
  current_.sumMatches = sumBytes_.size() == 4 && sent == imageSum_;
  current_.sum = sent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    uploads_.push_back(current_);
  }
  Report("upload: " + std::to_string(current_.received) + " bytes, sum " +
         (current_.sumMatches ? "matches" : "does not match"));
  if (!current_.sumMatches || options_.ackByte < 0) return;
  std::string reply(1, static_cast<char>(options_.ackByte));
  if (options_.ackByte == kAck && !HasRebootNoCase(current_.line)) reply += options_.uploadAnswer + kEnd;
  Send(reply);
}

}  // namespace robot_emulator
