// Scopes the client suites share: a connection open for one test, and a
// shorter wait for blocking requests.
#pragma once

#include <cstdint>

#include "client/client.h"

namespace client_test {

// Opens the port on construction and closes it at the end of the test when
// the open succeeded.
class OpenPort {
 public:
  explicit OpenPort(const char* port = "Com1") : port_(port), result_(Client_Open(port)) {}
  ~OpenPort() {
    if (result_ == 0) Client_Close(port_);
  }
  OpenPort(const OpenPort&) = delete;
  OpenPort& operator=(const OpenPort&) = delete;
  int result() const { return result_; }

 private:
  const char* port_;
  int result_;
};

// Shortens the wait of blocking requests for one test.
class WaitLimit {
 public:
  explicit WaitLimit(uint32_t ms) { Client_SetRequestWaitLimit(ms); }
  ~WaitLimit() { Client_SetRequestWaitLimit(ClientRequestWaitMs); }
  WaitLimit(const WaitLimit&) = delete;
  WaitLimit& operator=(const WaitLimit&) = delete;
};

}  // namespace client_test
