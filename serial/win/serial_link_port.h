// Serves the link protocol's port needs from the Windows serial port object.
#pragma once

#include "link/link_port.h"
#include "serial/win/serial_port.h"

namespace ql {

// The handheld's line: 8 data bits, no parity, one stop bit, no handshake,
// reads that return at once, and a notification for arriving characters.
// Returns the status of the speed and format, the one setting a device may
// refuse; the others are taken by every serial device.
inline Status SetUpHandheldLine(CSerialPort& port, DWORD baud) {
  const Status configured = port.ConfigureLine(baud, 8, NOPARITY, ONESTOPBIT);
  port.SetFlowControl(FlowNone);
  port.SetReadMode(ReadNonBlocking);
  port.SetWatchMask(EV_RXCHAR);
  return configured;
}

class SerialLinkPort final : public LinkPort {
 public:
  explicit SerialLinkPort(CSerialPort& port) : port_(port) {}

  Status ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* count) override {
    DWORD received = 0;
    const Status status = port_.ReceiveBytes(buffer, length, &received, nullptr, INFINITE);
    if (count != nullptr) *count = received;
    return status;
  }
  Status SendText(const char* text) override {
    return port_.SendText(text, nullptr, nullptr, INFINITE);
  }
  Status SendBlocks(const void* data, std::uint32_t length) override {
    return port_.SendBlocks(data, length);
  }
  Status DiscardBuffers() override { return port_.DiscardBuffers(); }

 private:
  CSerialPort& port_;
};

}  // namespace ql
