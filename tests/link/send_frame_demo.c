/* Sends one Data Expecting Reply frame (61 62 63 from station 5 to station 6)
 * through the shared link library and exits 0 when the link reported it sent.
 * Usage: send_frame_demo [PORT]   (default Com3)
 * A peer recording the line sees exactly
 *   55 FF 05 06 05 00 03 AE 61 62 63 25 9E. */
#include <stdio.h>

#include "link/tarnix_link.h"

int main(int argc, char** argv) {
  const char* port = argc > 1 ? argv[1] : "Com3";
  static const uint8_t data[3] = {0x61, 0x62, 0x63};
  LinkConfig config = {0};
  uint8_t sent;
  uint8_t closed;

  config.PortName = port;
  config.BaudRate = 38400;
  config.MaxMaster = 15;
  config.MaxInfoFrames = 3;
  config.StationAddress = 5;
  if (TarnixLink_Init(&config) != 0) {
    fprintf(stderr, "send_frame_demo: cannot open %s\n", port);
    return 1;
  }
  /* Passive: the frame goes out now instead of waiting for the token. */
  TarnixLink_DisableMasterServices(port, 1);
  sent = TarnixLink_SendFrameEx(port, 6, data, 3, 1, 512);
  closed = TarnixLink_UnInit(port);
  printf("send_frame_demo: sent %u, closed %u\n", (unsigned)sent, (unsigned)closed);
  return sent == 0 && closed == 0 ? 0 : 1;
}
