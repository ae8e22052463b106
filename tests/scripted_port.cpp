#include "tests/scripted_port.h"

#include <algorithm>
#include <cstring>

#include "support/clock.h"

using namespace kestrel;

ScriptedPort::ScriptedPort(kestrel::PortMode mode, char parity) : parity_(parity) { SetMode(mode); }

bool ScriptedPort::Open() {
  calls_.push_back("Open");
  open_ = openResult_;
  return open_;
}

void ScriptedPort::SetParity(char parity) {
  calls_.push_back(std::string("SetParity ") + parity);
  parity_ = parity;
}

bool ScriptedPort::Close() {
  calls_.push_back("Close");
  open_ = false;
  return true;
}

bool ScriptedPort::Write(const uint8_t* data, int length) {
  calls_.push_back("Write");
  if (!open_ || length < 0) return false;
  writes_.emplace_back(data, data + length);
  if (!scripts_.empty()) {
    Enqueue(scripts_.front());
    scripts_.pop_front();
  } else if (responder_) {
    Enqueue(responder_(writes_.back()));
  }
  return true;
}

bool ScriptedPort::Read(uint8_t* buffer, int maxLength, int& count) {
  count = 0;
  if (pending_.empty() && !endless_.empty()) pending_.push_back(endless_);
  if (open_ && maxLength > 0 && !pending_.empty()) {
    Bytes& front = pending_.front();
    count = std::min(static_cast<int>(front.size()), maxLength);
    if (count > 0) std::memcpy(buffer, front.data(), static_cast<size_t>(count));
    front.erase(front.begin(), front.begin() + count);
    if (front.empty()) pending_.pop_front();  // also an empty chunk: one silent read
  }
  calls_.push_back("Read " + std::to_string(count));
  return count > 0;
}

void ScriptedPort::WatchInput(WaitSet& wait) {
  const bool input = !endless_.empty() || std::any_of(pending_.begin(), pending_.end(),
                                                      [](const Bytes& chunk) { return !chunk.empty(); });
  if (open_ && input) wait.DueAtUs(NowUs());
}
