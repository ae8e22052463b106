#pragma once
// One TCP connection: as server it listens and serves one client at a time
// (a newer connection replaces the current one); as client it connects once
// at Open and never reconnects. Read polls with select and never waits.
#include <netinet/in.h>
#include <sys/select.h>

#include <ctime>
#include <string>

#include "ports/TPort.h"
#include "ports/allow_list.h"

namespace kestrel {

class TTCP : public TPort {
 public:
  TTCP() = default;
  ~TTCP() override;

  bool Open() override;
  bool InitSocket(const std::string& localInterface, uint16_t localPort, const std::string& remoteHost,
                  uint16_t remotePort, bool server) override;
  bool InitSerial(const std::string&, int, int, char, int, int) override { return false; }
  char GetParity() override { return -1; }
  void SetParity(char) override {}
  bool SetTimeout(int seconds) override;
  bool Close() override;
  bool Write(const uint8_t* data, int length) override;
  bool Read(uint8_t* buffer, int maxLength, int& count) override;
  void WatchInput(WaitSet& wait) override;

  // Server only: connections from elsewhere are closed at once.
  void SetAllowList(const AllowList& allow) { allow_ = allow; }

 private:
  bool AcceptConnection();
  bool OpenServer();
  bool OpenClient();
  void DropClient();
  bool Receive(int socket, uint8_t* buffer, int maxLength, int& count);

  int main_ = -1;    // listening socket (server) or the connection (client)
  int client_ = -1;  // server only: the accepted connection
  // main_ listens (server) or holds a connection not yet closed by the peer
  // (client). Anything else reports a hang-up for ever and is not waited on.
  bool mainLive_ = false;
  bool server_ = false;
  sockaddr_in local_{};
  sockaddr_in remote_{};
  fd_set readSet_{};
  int highest_ = -1;
  int reconnectTimeout_ = 10;  // seconds of failing sends before the listener is rebuilt
  time_t firstFailure_ = 0;    // 0: no failed send since Open
  AllowList allow_;
};

}  // namespace kestrel
