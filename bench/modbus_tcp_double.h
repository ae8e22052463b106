#pragma once
// A Modbus TCP device for the benchmarks: a server on 127.0.0.1 that answers
// every read of holding or input registers (function 03h or 04h, MBAP
// framing) with zeros, and anything else with exception 01h, each answer a
// set time after its request came in. One connection at a time, as a device
// with a single socket: a new one replaces the old. It counts the requests
// that came while it still owed an answer, which a gateway that keeps one
// request in flight per link never sends.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

class ModbusTcpDouble {
 public:
  explicit ModbusTcpDouble(int answerAfterMs);
  ~ModbusTcpDouble();
  ModbusTcpDouble(const ModbusTcpDouble&) = delete;
  ModbusTcpDouble& operator=(const ModbusTcpDouble&) = delete;

  // The port it listens on; 0 when it could not listen.
  int port() const { return port_; }
  long requests() const { return requests_; }
  // Requests that came before the answer to an earlier one was sent.
  long overlapping() const { return overlapping_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Owed {
    Clock::time_point due;
    std::vector<uint8_t> answer;
  };

  void Serve();
  int PollTimeoutMs(Clock::time_point end) const;
  void Accept();
  void Receive();
  void TakeRequests();
  void SendDue();
  void Disconnect();

  int answerAfterMs_;
  int listener_ = -1;
  int wake_ = -1;  // eventfd: the destructor's word to stop
  int connection_ = -1;
  int port_ = 0;
  std::vector<uint8_t> held_;
  std::deque<Owed> owed_;
  std::atomic<long> requests_{0};
  std::atomic<long> overlapping_{0};
  std::thread thread_;
};
