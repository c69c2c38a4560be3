// The simulated platform's client over arbitrary server bytes: a tiny
// server thread answers the SMC connection with one part of the input and
// the battery connection with the rest. The client must make of those bytes
// exactly what the protocol says: an exchange whose reply cannot be read
// whole fails with kIOReturnNotResponding, leaves the caller's buffer as it
// was and breaks the connection for every later exchange.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <thread>

#include "platform/battery.h"
#include "platform/simulator_socket.h"
#include "platform/smc_client.h"
#include "sim/listening_socket.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ampervale;
using platform::GetUIntLE;

namespace {

using Bytes = std::vector<uint8_t>;

// Answers the next connections with one stream each, then reads until the
// client closes, so that no client is cut off in the middle of a request.
void Serve(int listener, const std::vector<const Bytes*>& streams) {
  fcntl(listener, F_SETFL, 0);  // the simulator's own socket does not block
  for (const Bytes* stream : streams) {
    const int client = accept(listener, nullptr, nullptr);
    (void)send(client, stream->data(), stream->size(), MSG_NOSIGNAL);
    shutdown(client, SHUT_WR);
    char drain[256];
    while (recv(client, drain, sizeof drain, 0) > 0) {
    }
    close(client);
  }
}

// Takes whole fields off the front of a stream; null once too few remain.
struct Reader {
  const Bytes bytes;
  size_t at = 0;
  const uint8_t* Take(size_t count) {
    if (bytes.size() - at < count) return nullptr;
    at += count;
    return bytes.data() + at - count;
  }
};

void CheckExchanges(platform::SMCConnection& connection, Reader& stream) {
  bool broken = false;
  for (int call = 0; call < 4; ++call) {
    std::array<uint8_t, 80> reply;
    reply.fill(0xA5);
    auto expected = reply;
    size_t length = 80;
    const int32_t code =
        connection.CallStructMethod(std::array<uint8_t, 80>{}, reply, &length);
    const uint8_t* header = broken ? nullptr : stream.Take(8);
    const uint32_t count = header ? GetUIntLE(header + 4, 4) : 0;
    const uint8_t* body = header && count <= 80 ? stream.Take(count) : nullptr;
    broken = body == nullptr;
    if (!broken) std::copy(body, body + count, expected.begin());
    fuzz::Require(
        code == (broken ? platform::kIOCodeNotResponding
                        : static_cast<int32_t>(GetUIntLE(header, 4))) &&
            length == (broken ? 80 : count) && expected == reply,
        "an exchange read otherwise than the protocol says");
  }
}

// A property's value as its bits, which NaN keeps comparable.
std::optional<uint64_t> Bits(std::optional<double> value) {
  return value ? std::optional(std::bit_cast<uint64_t>(*value)) : std::nullopt;
}

// A tag the protocol does not know leaves the rest of the connection out
// of step: every property after it is missing too.
std::optional<uint64_t> ExpectedProperty(Reader& stream, bool& broken) {
  const uint8_t* tag = broken ? nullptr : stream.Take(1);
  broken = tag == nullptr || *tag > 4;
  if (broken) return std::nullopt;
  const size_t width = *tag == 1 || *tag == 2 ? 8 : *tag == 4 ? 1 : 0;
  const uint8_t* value = width > 0 ? stream.Take(width) : nullptr;
  broken = width > 0 && value == nullptr;
  if (broken || width != 8) return std::nullopt;
  const uint64_t bits = GetUIntLE(value, 8);
  return *tag == 2 ? bits
                   : Bits(static_cast<double>(static_cast<int64_t>(bits)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryDirectory scratch;
  static const sim::ListeningSocket listener(scratch.path / "smc.sock", false);
  setenv(platform::kSimulatorVariable, listener.path().c_str(), 1);
  if (size < 1) return 0;
  const size_t split = std::min<size_t>(data[0] * size_t{2}, size - 1);
  Reader smc{Bytes(data + 1, data + 1 + split)};
  Reader battery{Bytes(data + 1 + split, data + size)};
  std::thread server(Serve, listener.fd(),
                     std::vector{&smc.bytes, &battery.bytes});
  platform::SMCOpenResult opened = platform::OpenSMC();
  const uint8_t* greeting = smc.Take(8);
  const int32_t code = greeting ? static_cast<int32_t>(GetUIntLE(greeting, 4))
                                : platform::kIOCodeError;
  // A connection needs a success code and a nonzero one after it.
  fuzz::Require(
      opened.code == code && (opened.connection != nullptr) ==
                                 (code == 0 && GetUIntLE(greeting + 4, 4) != 0),
      "the open read otherwise than the protocol says");
  if (opened.connection) CheckExchanges(*opened.connection, smc);
  opened.connection.reset();  // the server serves one connection at a time
  const auto capacities = platform::ReadBatteryCapacities();
  const uint8_t* exists = battery.Take(1);
  bool broken = false;
  fuzz::Require(
      capacities.has_value() == (exists && *exists == 1) &&
          (!capacities ||
           (Bits(capacities->current) == ExpectedProperty(battery, broken) &&
            Bits(capacities->maximum) == ExpectedProperty(battery, broken))),
      "the battery read otherwise than the protocol says");
  server.join();
  return 0;
}
