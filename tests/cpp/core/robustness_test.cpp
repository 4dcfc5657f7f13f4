// Arbitrary bytes into every decoder: a value or a CoreError, never a crash or a read outside
// the input (the sanitizer build makes the latter fail loudly).
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "data_unit/common/codec.hpp"

namespace tessaly::core {
namespace {

// Copies into an exactly sized heap block so any overread lands outside it.
template <typename F>
void with_exact_copy(const std::vector<std::uint8_t>& bytes, F&& f) {
  auto block = std::make_unique<std::uint8_t[]>(bytes.size() + 0);
  std::copy(bytes.begin(), bytes.end(), block.get());
  f(std::span<const std::uint8_t>(block.get(), bytes.size()));
}

void feed_everything(std::span<const std::uint8_t> bytes) {
  for (auto kind : {TransportKind::Tcp, TransportKind::Serial})
    for (auto mode : {SerialMode::Rtu, SerialMode::Ascii}) {
      auto tagged = decode_response(bytes, kind, mode);
      if (tagged && tagged->response) {
        if (auto* id = std::get_if<ClientResponse::DeviceIdentification>(&tagged->response->body)) {
          DeviceIdObject object;
          auto it = id->iterate();
          std::size_t n = 0;
          while (it.next(object)) ++n;
          EXPECT_EQ(n, id->number_of_objects);
        }
      }
    }
  auto pdu = decode_pdu(bytes);
  if (!pdu) return;
  (void)decode_response_pdu(*pdu);
  auto request = decode_request(1, 1, *pdu);
  if (!request) return;
  if (auto* writes = std::get_if<ServerRequest::WriteFileRecord>(&request->body)) {
    for (const auto& sub : writes->items.view()) {
      EXPECT_EQ(writes->values_of(sub).size(), 2u * sub.record_length);
    }
  }
}

TEST(Robustness, RandomBytesIntoEveryDecoder) {
  std::mt19937 rng(20261211);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 520);
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length(rng)));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(rng));
    with_exact_copy(bytes, feed_everything);
  }
}

TEST(Robustness, PlausiblePdusWithRandomTails) {
  // Valid function codes and byte counts that agree more often than chance gets far into the
  // per-function rules.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 252);
  for (int round = 0; round < 20000; ++round) {
    const FunctionCode code =
        kPlainFunctionCodes[static_cast<std::size_t>(round) % kPlainFunctionCodes.size()];
    std::vector<std::uint8_t> pdu(1 + static_cast<std::size_t>(length(rng)));
    pdu[0] = static_cast<std::uint8_t>(code);
    for (std::size_t i = 1; i < pdu.size(); ++i) pdu[i] = static_cast<std::uint8_t>(byte(rng));
    if (pdu.size() > 1 && round % 2) pdu[1] = static_cast<std::uint8_t>(pdu.size() - 2);
    if (code == FunctionCode::EncapsulatedInterfaceTransport && pdu.size() > 1 && round % 3 == 0)
      pdu[1] = 0x0E;
    with_exact_copy(pdu, feed_everything);
    Frame frame;
    ASSERT_TRUE(encode_frame(frame, 1, 1, pdu, TransportKind::Serial, SerialMode::Rtu));
    with_exact_copy(std::vector<std::uint8_t>(frame.view().begin(), frame.view().end()),
                    feed_everything);
    ASSERT_TRUE(encode_frame(frame, 1, 1, pdu, TransportKind::Tcp, SerialMode::Rtu));
    with_exact_copy(std::vector<std::uint8_t>(frame.view().begin(), frame.view().end()),
                    feed_everything);
  }
}

}  // namespace
}  // namespace tessaly::core
