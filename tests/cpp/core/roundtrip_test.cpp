// Client request → server decode → server response → client decode, for every function code
// and every framing, against a small in-memory device.
#include <gtest/gtest.h>

#include "data_unit/common/codec.hpp"
#include "data_unit/common/overloaded.hpp"

namespace tessaly::core {
namespace {

using R = ClientRequest;
using Q = ServerRequest;
using S = ServerResponse;
using P = ClientResponse;

ByteBuffer pack_words(std::span<const std::uint16_t> words) {
  ByteBuffer out;
  for (auto w : words)
    out.push(static_cast<std::uint8_t>(w >> 8)), out.push(static_cast<std::uint8_t>(w));
  return out;
}

// Registers hold address * 3, coils are on at odd addresses; writes are echoed.
S serve(const Q& request) {
  auto registers = [](std::uint16_t address, std::uint16_t quantity) {
    std::vector<std::uint16_t> words;
    for (std::uint16_t i = 0; i < quantity; ++i)
      words.push_back(static_cast<std::uint16_t>((address + i) * 3));
    return pack_words(words);
  };
  auto bits = [](std::uint16_t address, std::uint16_t quantity) {
    ByteBuffer out;
    for (std::uint16_t i = 0; i < quantity; i += 8) {
      std::uint8_t byte = 0;
      for (int b = 0; b < 8 && i + b < quantity; ++b)
        if ((address + i + b) % 2 == 1) byte |= static_cast<std::uint8_t>(1 << b);
      out.push(byte);
    }
    return out;
  };
  return std::visit(
      Overloaded{
          [&](const Q::ReadCoils& r) {
            return S{S::ByteCounted{0x01, bits(r.address, r.quantity)}};
          },
          [&](const Q::ReadDiscreteInputs& r) {
            return S{S::ByteCounted{0x02, bits(r.address, r.quantity)}};
          },
          [&](const Q::ReadHoldingRegisters& r) {
            return S{S::ByteCounted{0x03, registers(r.address, r.quantity)}};
          },
          [&](const Q::ReadInputRegisters& r) {
            return S{S::ByteCounted{0x04, registers(r.address, r.quantity)}};
          },
          [&](const Q::WriteSingleCoil& r) {
            return S{S::CoilEcho{
                r.address, static_cast<std::uint16_t>(r.state == CoilState::On ? 0xFF00 : 0)}};
          },
          [&](const Q::WriteSingleRegister& r) { return S{S::RegisterEcho{r.address, r.value}}; },
          [&](const Q::WriteMultipleCoils& r) {
            return S{S::TwoFieldEcho{0x0F, r.address, r.quantity}};
          },
          [&](const Q::WriteMultipleRegisters& r) {
            return S{S::TwoFieldEcho{0x10, r.address, r.quantity}};
          },
          [&](const Q::MaskWriteRegister& r) {
            return S{S::MaskWriteEcho{r.address, r.and_mask, r.or_mask}};
          },
          [&](const Q::ReadWriteMultipleRegisters& r) {
            return S{S::ByteCounted{0x17, registers(r.read_address, r.read_quantity)}};
          },
          [&](const Q::ReadExceptionStatus&) { return S{S::StatusByte{0x07, 0x6D}}; },
          [&](const Q::Diagnostics& r) { return S{S::DiagnosticsEcho{r.sub_function, r.data}}; },
          [&](const Q::GetCommEventCounter&) { return S{S::TwoFieldEcho{0x0B, 0xFFFF, 0x0108}}; },
          [&](const Q::GetCommEventLog&) {
            ByteBuffer log;
            for (auto b : {0x00, 0x00, 0x01, 0x08, 0x01, 0x21, 0x20, 0x00})
              log.push(static_cast<std::uint8_t>(b));
            return S{S::ByteCounted{0x0C, log}};
          },
          [&](const Q::ReportServerId&) {
            ByteBuffer id;
            for (int b : {0x2A, 0xFF, int{'T'}}) id.push(static_cast<std::uint8_t>(b));
            return S{S::ByteCounted{0x11, id}};
          },
          [&](const Q::EncapsulatedInterfaceTransport& r) {
            ByteBuffer objects;
            for (int b : {0x00, 0x02, int{'O'}, int{'K'}})
              objects.push(static_cast<std::uint8_t>(b));
            return S{S::DeviceIdentification{r.data[0], 0x81, false, 0, objects}};
          },
          [&](const Q::ReadFifoQueue&) {
            return S{S::FifoData{pack_words(std::vector<std::uint16_t>{2, 0x01B8, 0x1284})}};
          },
          [&](const Q::ReadFileRecord& r) {
            ByteBuffer out;
            for (const auto& sub : r.items.view()) {
              out.push(static_cast<std::uint8_t>(1 + 2 * sub.record_length));
              out.push(6);
              for (std::uint16_t i = 0; i < sub.record_length; ++i)
                out.push(static_cast<std::uint8_t>(sub.file_number)),
                    out.push(static_cast<std::uint8_t>(i));
            }
            return S{S::ByteCounted{0x14, out}};
          },
          [&](const Q::WriteFileRecord& r) { return S{S::FileRecordEcho{r.request}}; },
      },
      request.body);
}

P exchange(const R& request, TransportKind kind, SerialMode mode) {
  Frame frame;
  auto encoded = encode_request(frame, request, 77, kind, mode);
  EXPECT_TRUE(encoded) << error_text(encoded.error()).view();
  auto adu = decode_frame(frame.view(), kind, mode);
  EXPECT_TRUE(adu);
  auto server_request = decode_request(received_unit(*adu), adu->transaction_id(), adu->pdu);
  EXPECT_TRUE(server_request) << error_text(server_request.error()).view();
  EXPECT_EQ(server_request->unit, request.unit);
  Frame answer;
  auto encoded_answer =
      encode_response(answer, serve(*server_request), server_request->transaction_id,
                      server_request->unit, kind, mode);
  EXPECT_TRUE(encoded_answer) << error_text(encoded_answer.error()).view();
  auto tagged = decode_response(answer.view(), kind, mode);
  EXPECT_TRUE(tagged);
  EXPECT_EQ(tagged->transaction_id, kind == TransportKind::Tcp ? 77 : 0);
  EXPECT_EQ(tagged->unit, request.unit);
  EXPECT_TRUE(tagged->response) << error_text(tagged->response.error()).view();
  return attach_request_context(*tagged->response, request);
}

class RoundTrip : public testing::TestWithParam<std::pair<TransportKind, SerialMode>> {
 protected:
  P run(R::Body body) {
    return exchange(R{17, std::move(body)}, GetParam().first, GetParam().second);
  }
};

TEST_P(RoundTrip, EveryFunctionCode) {
  auto coils = std::get<Coils>(run(R::ReadCoils{10, 13}).body);
  EXPECT_EQ(coils.from_address, 10);
  EXPECT_EQ(coils.quantity, 13);
  for (std::uint16_t a = 10; a < 23; ++a)
    EXPECT_EQ(*coils.get(a), a % 2 ? CoilState::On : CoilState::Off) << a;

  auto inputs = std::get<DiscreteInputs>(run(R::ReadDiscreteInputs{1, 2000}).body);
  EXPECT_EQ(inputs.quantity, 2000);
  EXPECT_EQ(*inputs.get(2000), CoilState::Off);
  EXPECT_EQ(*inputs.get(1999), CoilState::On);

  auto holding = std::get<Registers>(run(R::ReadHoldingRegisters{100, 125}).body);
  EXPECT_EQ(holding.quantity, 125);
  EXPECT_EQ(*holding.get(224), 224 * 3);

  auto input = std::get<P::InputRegisters>(run(R::ReadInputRegisters{7, 2}).body).run;
  EXPECT_EQ(*input.get(8), 24);

  auto coil = std::get<Coils>(run(R::WriteSingleCoil{5, CoilState::On}).body);
  EXPECT_EQ(*coil.get(5), CoilState::On);

  auto reg = std::get<P::SingleRegister>(run(R::WriteSingleRegister{6, 0xBEEF}).body);
  EXPECT_EQ(reg.address, 6);
  EXPECT_EQ(reg.value, 0xBEEF);

  auto written_coils = std::get<Coils>(run(R::WriteMultipleCoils{3, *Coils::create(3, 1968)}).body);
  EXPECT_EQ(written_coils.from_address, 3);
  EXPECT_EQ(written_coils.quantity, 1968);

  WordList values;
  for (int i = 0; i < 123; ++i) values.push(static_cast<std::uint16_t>(i));
  auto written = std::get<Registers>(run(R::WriteMultipleRegisters{9, values}).body);
  EXPECT_EQ(written.from_address, 9);
  EXPECT_EQ(written.quantity, 123);

  EXPECT_TRUE(
      std::holds_alternative<P::MaskWriteRegister>(run(R::MaskWriteRegister{4, 0xF2, 0x25}).body));

  WordList few;
  few.push(1);
  auto rw = std::get<Registers>(run(R::ReadWriteMultipleRegisters{50, 3, 60, few}).body);
  EXPECT_EQ(rw.from_address, 50);
  EXPECT_EQ(*rw.get(52), 156);

  EXPECT_EQ(std::get<P::ExceptionStatus>(run(R::ReadExceptionStatus{}).body).status, 0x6D);

  WordList echo;
  echo.push(0xA537);
  auto diag = std::get<P::Diagnostics>(run(R::Diagnostics{0, echo}).body);
  EXPECT_EQ(diag.sub_function, 0);
  ASSERT_EQ(diag.data.size, 1u);
  EXPECT_EQ(diag.data[0], 0xA537);

  auto counter = std::get<P::CommEventCounter>(run(R::GetCommEventCounter{}).body);
  EXPECT_EQ(counter.status, 0xFFFF);
  EXPECT_EQ(counter.event_count, 0x108);

  auto log = std::get<P::CommEventLog>(run(R::GetCommEventLog{}).body);
  EXPECT_EQ(log.message_count, 0x121);
  EXPECT_EQ(log.events.size, 2u);

  auto id = std::get<P::ServerId>(run(R::ReportServerId{}).body);
  EXPECT_EQ(id.bytes.size, 3u);
  EXPECT_EQ(id.bytes[2], 'T');

  FileReadList reads;
  ASSERT_TRUE(reads.add(4, 1, 2));
  ASSERT_TRUE(reads.add(5, 9, 3));
  auto records = std::get<P::FileRecordRead>(run(R::ReadFileRecord{reads}).body).records;
  ASSERT_EQ(records.items.size, 2u);
  auto second = records.words_of(records.items[1]);
  ASSERT_EQ(second.size(), 3u);
  EXPECT_EQ(second[2], 0x0502);

  FileWriteList writes;
  const std::uint16_t data[] = {1, 2};
  ASSERT_TRUE(writes.add(4, 7, 2, data));
  EXPECT_TRUE(std::holds_alternative<P::FileRecordWritten>(run(R::WriteFileRecord{writes}).body));

  auto fifo = std::get<FifoQueue>(run(R::ReadFifoQueue{0x4DE}).body);
  EXPECT_EQ(fifo.pointer_address, 0x4DE);
  EXPECT_EQ(fifo.count, 2);
  EXPECT_EQ(fifo.values[0], 0x01B8);

  auto device = std::get<P::DeviceIdentification>(run(R::ReadDeviceIdentification{1, 0}).body);
  EXPECT_EQ(device.code, 1);
  EXPECT_EQ(device.number_of_objects, 1);
  DeviceIdObject object;
  auto it = device.iterate();
  ASSERT_TRUE(it.next(object));
  EXPECT_EQ(std::string(object.value.begin(), object.value.end()), "OK");
}

INSTANTIATE_TEST_SUITE_P(Framings, RoundTrip,
                         testing::Values(std::pair{TransportKind::Tcp, SerialMode::Rtu},
                                         std::pair{TransportKind::Serial, SerialMode::Rtu},
                                         std::pair{TransportKind::Serial, SerialMode::Ascii}));

}  // namespace
}  // namespace tessaly::core
