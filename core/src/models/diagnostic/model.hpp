// File-record sub-request lists and read results, and device-identification objects.
#pragma once

#include <cstdint>
#include <span>

#include "data_unit/common/buffer.hpp"
#include "data_unit/common/error.hpp"

namespace tessaly::core {

inline constexpr std::size_t kMaxFileSubRequests = 35;
inline constexpr std::uint8_t kFileReferenceType = 6;

struct FileReadSubRequest {
  std::uint16_t file_number = 0;
  std::uint16_t record_number = 0;
  std::uint16_t record_length = 0;
};

// Client read list: the response to it must fit one PDU.
struct FileReadList {
  FixedVec<FileReadSubRequest, kMaxFileSubRequests> items;

  Status add(std::uint16_t file_number, std::uint16_t record_number, std::uint16_t record_length);
};

struct FileWriteSubRequest {
  std::uint16_t file_number = 0;
  std::uint16_t record_number = 0;
  std::uint16_t record_length = 0;
  std::uint16_t first_value = 0;  // index into the list's shared value buffer
};

// Client write list; all values share one buffer (a request byte count is at most 251).
struct FileWriteList {
  FixedVec<FileWriteSubRequest, kMaxFileSubRequests> items;
  FixedVec<std::uint16_t, 125> values;

  Status add(std::uint16_t file_number, std::uint16_t record_number, std::uint16_t record_length,
             std::span<const std::uint16_t> record_values);
  std::span<const std::uint16_t> values_of(const FileWriteSubRequest& sub) const {
    return values.view().subspan(sub.first_value, sub.record_length);
  }
};

// Decoded read-file-record response: sub-responses as slices of one word buffer.
struct FileReadResponse {
  struct Slice {
    std::uint16_t first = 0;
    std::uint16_t count = 0;
  };
  FixedVec<Slice, kMaxFileSubRequests> items;
  FixedVec<std::uint16_t, 126> words;

  std::span<const std::uint16_t> words_of(const Slice& s) const {
    return words.view().subspan(s.first, s.count);
  }
};

enum class ObjectIdClass : std::uint8_t { Basic, Regular, Extended, Other };
ObjectIdClass classify_object_id(std::uint8_t id);

struct DeviceIdObject {
  std::uint8_t id = 0;
  ObjectIdClass id_class = ObjectIdClass::Basic;
  std::span<const std::uint8_t> value;
};

// Walks a validated object list (id, length, value)...; yields exactly `count` objects.
class DeviceIdObjectIterator {
 public:
  DeviceIdObjectIterator(std::span<const std::uint8_t> list, std::size_t count)
      : list_(list), remaining_(count) {}
  bool next(DeviceIdObject& out);

 private:
  std::span<const std::uint8_t> list_;
  std::size_t pos_ = 0;
  std::size_t remaining_;
};

}  // namespace tessaly::core
