#include "engine/LinkArchive.h"

#include <algorithm>
#include <bit>
#include <cstring>

const char* ArchiveError::what() const noexcept {
  switch (cause_) {
    case readOnly:
      return "archive is read-only";
    case writeOnly:
      return "archive is write-only";
    case endOfFile:
      return "unexpected end of archive";
    case generic:
      break;
  }
  return "malformed archive";
}

LinkArchive::LinkArchive(win::HANDLE file, Mode mode, std::size_t bufferSize)
    : file_(file), mode_(mode), buffer_(std::max<std::size_t>(bufferSize, 16)) {
  if (mode_ == Mode::load) {
    // The file cannot change under us (it is open without sharing), so its size bounds every
    // count and length it may claim. A file whose size cannot be read is not trusted at all.
    std::int64_t size = 0;
    unreadInFile_ =
        win::GetFileSizeEx(file_, &size) && size > 0 ? static_cast<std::uint64_t>(size) : 0;
  }
}

std::uint64_t LinkArchive::BytesLeft() const {
  return unreadInFile_ + (filled_ - position_);
}

void LinkArchive::Fill() {
  win::DWORD read = 0;
  if (!win::ReadFile(file_, buffer_.data(), static_cast<win::DWORD>(buffer_.size()), &read,
                     nullptr)) {
    throw ArchiveError(ArchiveError::generic);  // a read error makes the data unusable
  }
  position_ = 0;
  filled_ = read;
  unreadInFile_ -= std::min<std::uint64_t>(unreadInFile_, read);
}

void LinkArchive::Read(void* destination, std::size_t size) {
  if (mode_ != Mode::load) throw ArchiveError(ArchiveError::writeOnly);
  auto* out = static_cast<std::uint8_t*>(destination);
  while (size > 0) {
    if (position_ == filled_) {
      Fill();
      if (filled_ == 0) throw ArchiveError(ArchiveError::endOfFile);
    }
    const std::size_t chunk = std::min(size, filled_ - position_);
    std::memcpy(out, buffer_.data() + position_, chunk);
    position_ += chunk;
    out += chunk;
    size -= chunk;
  }
}

void LinkArchive::Flush() {
  std::size_t done = 0;
  while (done < position_) {
    win::DWORD written = 0;
    if (!win::WriteFile(file_, buffer_.data() + done, static_cast<win::DWORD>(position_ - done),
                        &written, nullptr) ||
        written == 0) {
      throw ArchiveError(ArchiveError::generic);
    }
    done += written;
  }
  position_ = 0;
}

void LinkArchive::Write(const void* source, std::size_t size) {
  if (mode_ != Mode::store) throw ArchiveError(ArchiveError::readOnly);
  const auto* in = static_cast<const std::uint8_t*>(source);
  while (size > 0) {
    if (position_ == buffer_.size()) Flush();
    const std::size_t chunk = std::min(size, buffer_.size() - position_);
    std::memcpy(buffer_.data() + position_, in, chunk);
    position_ += chunk;
    in += chunk;
    size -= chunk;
  }
}

template <typename T>
T LinkArchive::ReadLittleEndian() {
  std::uint8_t bytes[sizeof(T)];
  Read(bytes, sizeof bytes);
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return static_cast<T>(value);
}

template <typename T>
void LinkArchive::WriteLittleEndian(T value) {
  std::uint8_t bytes[sizeof(T)];
  const auto bits = static_cast<std::uint64_t>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Write(bytes, sizeof bytes);
}

std::int32_t LinkArchive::ReadInt32() {
  return static_cast<std::int32_t>(ReadLittleEndian<std::uint32_t>());
}

void LinkArchive::WriteInt32(std::int32_t value) {
  WriteLittleEndian(static_cast<std::uint32_t>(value));
}

std::uint32_t LinkArchive::ReadCount() {
  const auto narrow = ReadLittleEndian<std::uint16_t>();
  if (narrow != 0xFFFF) return narrow;
  return ReadLittleEndian<std::uint32_t>();
}

void LinkArchive::WriteCount(std::uint32_t count) {
  if (count < 0xFFFF) {
    WriteLittleEndian(static_cast<std::uint16_t>(count));
    return;
  }
  WriteLittleEndian(std::uint16_t{0xFFFF});
  WriteLittleEndian(count);
}

std::u16string LinkArchive::ReadString() {
  bool unicode = false;
  std::uint64_t length = ReadLittleEndian<std::uint8_t>();
  if (length == 0xFF) {
    std::uint32_t wide = ReadLittleEndian<std::uint16_t>();
    if (wide == 0xFFFE) {
      unicode = true;
      length = ReadLittleEndian<std::uint8_t>();
      if (length == 0xFF) wide = ReadLittleEndian<std::uint16_t>();
    }
    if (length == 0xFF) {
      length = wide;
      if (wide == 0xFFFF) {
        length = ReadLittleEndian<std::uint32_t>();
        if (length == 0xFFFFFFFF) {
          length = ReadLittleEndian<std::uint64_t>();
          if (length > 0x7FFFFFFF) throw ArchiveError(ArchiveError::generic);
        }
      }
    }
  }

  // A length the file cannot hold is a short file; refusing it here keeps a hostile length
  // from deciding how much memory is taken.
  const std::uint64_t bodyBytes = length * (unicode ? 2 : 1);
  if (bodyBytes > BytesLeft()) throw ArchiveError(ArchiveError::endOfFile);

  if (unicode) {
    std::u16string body(static_cast<std::size_t>(length), u'\0');
    Read(body.data(), static_cast<std::size_t>(bodyBytes));
    if constexpr (std::endian::native == std::endian::big) {
      for (auto& unit : body) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
    }
    body.resize(std::min(body.size(), body.find(u'\0')));
    return body;
  }

  std::string body(static_cast<std::size_t>(length), '\0');
  Read(body.data(), body.size());
  body.resize(std::min(body.size(), body.find('\0')));
  if (body.empty()) return {};
  const int size = static_cast<int>(body.size());
  const int units = win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, body.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::u16string text(static_cast<std::size_t>(units), u'\0');
  if (win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, body.data(), size, text.data(), units) !=
      units) {
    return {};
  }
  return text;
}

void LinkArchive::WriteString(std::u16string_view text) {
  const std::uint64_t length = text.size();
  WriteLittleEndian(std::uint8_t{0xFF});
  WriteLittleEndian(std::uint16_t{0xFFFE});
  if (length < 0xFF) {
    WriteLittleEndian(static_cast<std::uint8_t>(length));
  } else if (length < 0xFFFE) {
    WriteLittleEndian(std::uint8_t{0xFF});
    WriteLittleEndian(static_cast<std::uint16_t>(length));
  } else if (length < 0xFFFFFFFF) {
    WriteLittleEndian(std::uint8_t{0xFF});
    WriteLittleEndian(std::uint16_t{0xFFFF});
    WriteLittleEndian(static_cast<std::uint32_t>(length));
  } else {
    WriteLittleEndian(std::uint8_t{0xFF});
    WriteLittleEndian(std::uint16_t{0xFFFF});
    WriteLittleEndian(std::uint32_t{0xFFFFFFFF});
    WriteLittleEndian(length);
  }
  for (char16_t c : text) WriteLittleEndian(static_cast<std::uint16_t>(c));
}

void LinkArchive::Close() {
  if (mode_ == Mode::store) Flush();
}
