// The archive encoding of the link list: little-endian counts, 32-bit integers and
// length-prefixed strings, read or written through one buffer over an open file.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"

class ArchiveError : public std::exception {
 public:
  enum Cause { generic, readOnly, writeOnly, endOfFile };

  explicit ArchiveError(Cause cause) : cause_(cause) {}
  Cause cause() const noexcept { return cause_; }
  const char* what() const noexcept override;

 private:
  Cause cause_;
};

class LinkArchive {
 public:
  enum class Mode { load, store };
  static constexpr std::size_t kBufferSize = 4096;

  // The archive reads or writes `file` from its current position; it does not own the file.
  LinkArchive(win::HANDLE file, Mode mode, std::size_t bufferSize = kBufferSize);
  LinkArchive(const LinkArchive&) = delete;
  LinkArchive& operator=(const LinkArchive&) = delete;

  bool IsStoring() const { return mode_ == Mode::store; }

  std::int32_t ReadInt32();
  void WriteInt32(std::int32_t value);
  std::uint32_t ReadCount();
  void WriteCount(std::uint32_t count);
  // Either form; the value is the body up to its first NUL.
  std::u16string ReadString();
  // Always the Unicode form with the shortest length prefix.
  void WriteString(std::u16string_view text);
  // Bytes as they are, such as a fixed marker.
  void ReadBytes(void* destination, std::size_t size) { Read(destination, size); }
  void WriteBytes(const void* source, std::size_t size) { Write(source, size); }

  // What the file still holds for this archive to read: what is buffered and what follows.
  // Lets a reader refuse a count or length that the data cannot hold before it allocates.
  std::uint64_t BytesLeft() const;

  // Storing: writes out what is still buffered. Loading: nothing.
  void Close();

 private:
  void Read(void* destination, std::size_t size);
  void Write(const void* source, std::size_t size);
  void Fill();
  void Flush();
  template <typename T>
  T ReadLittleEndian();
  template <typename T>
  void WriteLittleEndian(T value);

  win::HANDLE file_;
  Mode mode_;
  std::vector<std::uint8_t> buffer_;
  std::size_t position_ = 0;  // next byte to read, or bytes buffered for writing
  std::size_t filled_ = 0;    // bytes in the buffer when loading
  std::uint64_t unreadInFile_ = 0;
};
