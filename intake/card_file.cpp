#include "intake/card_file.h"

#include <algorithm>
#include <cstdio>
#include <limits>


namespace fw {

void TStringListSDF::SplitLine(std::string_view line) {
  clear();
  size_t i = 0;
  while (i < line.size()) {
    std::string field;
    bool quoted = line[i] == '"';
    if (quoted) ++i;
    while (i < line.size()) {
      const char c = line[i++];
      if (quoted) {
        if (c == '"') {
          quoted = false;
        } else {
          field += c;
        }
      } else if (c == ',') {
        break;
      } else {
        field += c;
      }
    }
    push_back(std::move(field));
  }
}

std::vector<std::string> SplitIntoLines(std::string_view text) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      ++i;
      if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

TTextLines::TTextLines(std::string text) : text_(std::move(text)) {
  const size_t nul = text_.find('\0');
  if (nul != std::string::npos) text_.resize(nul);
}

bool TTextLines::Next(std::string& line) {
  if (at_ >= text_.size()) return false;
  size_t end = at_;
  while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n') ++end;
  line.assign(text_, at_, end - at_);
  at_ = end;
  if (at_ < text_.size()) {
    const char c = text_[at_++];
    if (c == '\r' && at_ < text_.size() && text_[at_] == '\n') ++at_;
  }
  return true;
}

bool TCardLines::Next() {
  if (!source_.Next(text_)) return false;
  ++number_;
  fields_.SplitLine(text_);
  kind_ = reader_.Read(fields_, entries_);
  return true;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int32_t FieldToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return 0;
  // The magnitude may reach 2^31 only for a negative number.
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0 || d >= base) return 0;
    value = value * base + d;
    if (value > limit) return 0;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

namespace {

// Characters [from, from + count) of `s`, counted from 0; shorter or empty past the end.
std::string_view Chars(std::string_view s, size_t from, size_t count) {
  return from >= s.size() ? std::string_view() : s.substr(from, count);
}

}  // namespace

TDateTime FieldToTime(std::string_view text) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.4d", FieldToInt(text));
  const std::string_view s(buf);
  TDateTime t = 0;
  return TryEncodeTime(FieldToInt(Chars(s, 0, 2)), FieldToInt(Chars(s, 2, 2)), 0, 0, t) ? t : 0;
}

TDateTime FieldToDate(std::string_view text, const TClock& clock) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.8d", FieldToInt(text));
  const std::string_view s(buf);
  TDateTime d = 0;
  if (TryEncodeDate(FieldToInt(Chars(s, 0, 4)), FieldToInt(Chars(s, 4, 2)),
                    FieldToInt(Chars(s, 6, 2)), d)) {
    return d;
  }
  return DateOf(clock.Now());
}

const std::vector<TColumnDef> CardColumns = {
    {"COMMAND", 'C'},   {"NUMBER", 'X'},     {"CARD_TYPE", 'C'}, {"DESCR", 'C'},
    {"T", 'T'},         {"START_DT", 'D'},   {"T", 'T'},         {"EXP_IRY", 'D'},
    {"ADD_VALUE", 'N'}, {"GROUP_NAME", 'C'}, {"LAST_NAME", 'C'}, {"FIRST_NAME", 'C'},
    {"STR_EET", 'C'},   {"CI_TY", 'C'},      {"POST_CODE", 'C'}, {"PHONE_RES", 'C'},
    {"PHONE_BUS", 'C'}, {"LICENSE_1", 'C'},  {"LICENSE_2", 'C'}, {"", 'I'},
    {"MISC_1", 'C'},    {"MISC_2", 'C'},     {"MISC_3", 'C'},    {"MISC_4", 'C'},
};

const std::vector<TColumnDef> GroupColumns = {{"NAME", 'C'}, {"MAX_INLOT", 'N'}};

TLineKind LineKindOf(size_t fieldCount) {
  if (fieldCount < 2) return lkIgnored;
  return fieldCount == 2 ? lkGroup : lkCard;
}

TLineKind TCardLineReader::Read(const TStringListSDF& fields, std::vector<TColumnEntry>& entries) {
  entries.clear();
  const TLineKind kind = LineKindOf(fields.size());
  if (kind == lkIgnored) return kind;
  const std::vector<TColumnDef>& layout = kind == lkGroup ? GroupColumns : CardColumns;
  const size_t count = std::min(fields.size(), layout.size());
  for (size_t i = 0; i < count; ++i) {
    const TColumnDef& col = layout[i];
    const std::string& field = fields[i];
    switch (col.type) {
      case 'C':
        entries.push_back({col.name, vkQuoted, field});
        break;
      case 'X':
        entries.push_back({col.name, vkUnquoted, field});
        break;
      case 'N':
        entries.push_back({col.name, vkInteger, {}, FieldToInt(field)});
        break;
      case 'T':
        timeOfDay_ = FieldToTime(field);
        break;
      case 'D':
        entries.push_back({col.name, vkDateTime, {}, 0, FieldToDate(field, clock_) + timeOfDay_});
        break;
      default:  // 'I'
        break;
    }
  }
  return kind;
}

}  // namespace fw
