// File-record list building and device-identification object walking.
#include "models/diagnostic/model.hpp"

namespace tessaly::core {

Status FileReadList::add(std::uint16_t file_number, std::uint16_t record_number,
                         std::uint16_t record_length) {
  if (items.size == kMaxFileSubRequests) return fail(CoreErrorKind::TooManyFileReadSubRequests);
  std::size_t words = record_length;
  for (const auto& sub : items.view()) words += sub.record_length;
  if (words + items.size + 1 > 125) return fail(CoreErrorKind::FileReadPduOverflow);
  items.push({file_number, record_number, record_length});
  return {};
}

Status FileWriteList::add(std::uint16_t file_number, std::uint16_t record_number,
                          std::uint16_t record_length,
                          std::span<const std::uint16_t> record_values) {
  if (items.size == kMaxFileSubRequests) return fail(CoreErrorKind::TooManyFileReadSubRequests);
  if (record_values.size() != record_length) return fail(CoreErrorKind::BufferLenMissmatch);
  std::size_t byte_count = 7 + 2 * std::size_t{record_length};
  for (const auto& sub : items.view()) byte_count += 7 + 2 * std::size_t{sub.record_length};
  if (byte_count > 251) return fail(CoreErrorKind::FileReadPduOverflow);
  const auto first = static_cast<std::uint16_t>(values.size);
  if (!values.append(record_values)) return fail(CoreErrorKind::FileReadPduOverflow);
  items.push({file_number, record_number, record_length, first});
  return {};
}

ObjectIdClass classify_object_id(std::uint8_t id) {
  if (id <= 0x02) return ObjectIdClass::Basic;
  if (id <= 0x06) return ObjectIdClass::Regular;
  if (id >= 0x80) return ObjectIdClass::Extended;
  return ObjectIdClass::Other;
}

bool DeviceIdObjectIterator::next(DeviceIdObject& out) {
  if (remaining_ == 0 || pos_ + 2 > list_.size()) return false;
  const std::uint8_t id = list_[pos_];
  const std::size_t len = list_[pos_ + 1];
  if (pos_ + 2 + len > list_.size()) return false;
  out.id = id;
  out.id_class = classify_object_id(id);
  out.value = list_.subspan(pos_ + 2, len);
  pos_ += 2 + len;
  --remaining_;
  return true;
}

}  // namespace tessaly::core
