#pragma once
// A UDP socket: datagrams both ways. With a remote address configured only
// its datagrams are accepted (any source port) and answers go there; without
// one the port answers whoever spoke last.
#include <netinet/in.h>

#include <string>

#include "ports/TPort.h"
#include "ports/allow_list.h"

namespace kestrel {

class TUDP : public TPort {
 public:
  TUDP() { SetMode(PortMode::kUdp); }
  ~TUDP() override;

  bool Open() override;
  bool InitSocket(const std::string& localInterface, uint16_t localPort, const std::string& remoteHost,
                  uint16_t remotePort, bool server);
  bool Close() override;
  bool IsOpen() const override { return socket_ >= 0; }
  bool Write(const uint8_t* data, int length) override;
  bool Read(uint8_t* buffer, int maxLength, int& count) override;
  void WatchInput(WaitSet& wait) override { wait.WatchReadable(socket_); }

  // Datagrams from elsewhere are dropped and never become the last sender.
  void SetAllowList(const AllowList& allow) { allow_ = allow; }

 private:
  bool server_ = false;
  int socket_ = -1;
  sockaddr_in local_{};
  sockaddr_in remote_{};
  sockaddr_in lastSender_{};
  AllowList allow_;
};

}  // namespace kestrel
