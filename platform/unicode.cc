#include "platform/unicode.h"

namespace platform {

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendUtf16(char32_t c, std::u16string* out) {
  if (c < 0x10000) {
    out->push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 | (c >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
  }
}

namespace {

// Appends the conversion of `text` to `out`.
void AppendConverted(std::u16string_view text, std::string* out) {
  for (size_t i = 0; i < text.size(); ++i) {
    // Runs of ASCII, most of what goes through here, are copied without a check a unit.
    size_t end = i;
    while (end < text.size() && text[end] < 0x80) ++end;
    if (end > i) {
      const size_t at = out->size();
      out->resize(at + (end - i));
      char* to = out->data() + at;
      for (; i < end; ++i) *to++ = static_cast<char>(text[i]);
      if (i == text.size()) break;
    }
    char32_t c = text[i];
    if (c < 0x80) {  // most of what the lists hold
      out->push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacementCharacter;
    }
    AppendUtf8(c, out);
  }
}

void AppendConverted(std::string_view text, std::u16string* out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      size_t end = i + 1;
      while (end < size && bytes[end] < 0x80) ++end;
      const size_t at = out->size();
      out->resize(at + (end - i));
      char16_t* to = out->data() + at;
      for (; i < end; ++i) *to++ = bytes[i];
      continue;
    }
    // Sequence length and the range of the second byte, which rules out overlong forms,
    // surrogates and values above U+10FFFF.
    size_t count = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t c = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      count = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      count = 3;
      c = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      count = 4;
      c = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    size_t used = 1;
    bool complete = count != 0;
    for (; complete && used < count; ++used) {
      const unsigned char next = i + used < size ? bytes[i + used] : 0;
      if (next < (used == 1 ? low : 0x80) || next > (used == 1 ? high : 0xBF)) {
        complete = false;
        break;
      }
      c = (c << 6) | (next & 0x3F);
    }
    // One replacement per maximal ill-formed part: the lead and the continuation bytes
    // that were valid so far.
    AppendUtf16(complete ? c : kReplacementCharacter, out);
    i += used;
  }
}

}  // namespace

size_t Utf8Size(std::u16string_view text) {
  size_t size = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      size += 1;
    } else if (c < 0x800) {
      size += 2;
    } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      size += 4;
      ++i;
    } else {
      size += 3;  // the rest of the plane, and U+FFFD for an unpaired surrogate
    }
  }
  return size;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());  // exact for ASCII, which most text is; more grows it
  AppendConverted(text, &out);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  AppendConverted(text, &out);
  return out;
}

bool DecodeUtf8(std::string_view in, char32_t* code_point, size_t* length) {
  const auto byte = [in](size_t i) { return static_cast<unsigned char>(in[i]); };
  size_t n = 1;
  char32_t value = byte(0), least = 0;
  if (value >= 0x80) {
    if ((value & 0xE0) == 0xC0) {
      n = 2, value &= 0x1F, least = 0x80;
    } else if ((value & 0xF0) == 0xE0) {
      n = 3, value &= 0x0F, least = 0x800;
    } else if ((value & 0xF8) == 0xF0) {
      n = 4, value &= 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (in.size() < n) return false;
    for (size_t i = 1; i < n; ++i) {
      if ((byte(i) & 0xC0) != 0x80) return false;
      value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  }
  *code_point = value;
  *length = n;
  return true;
}

bool IsUtf8(std::string_view text) {
  char32_t code_point;
  for (size_t length; !text.empty(); text.remove_prefix(length)) {
    if (!DecodeUtf8(text, &code_point, &length)) return false;
  }
  return true;
}

}  // namespace platform
