// Numbers and dates as spreadsheets and accounting tools write them: thousands separators,
// a decimal comma or point, currencies, percentages, negatives in parentheses or with a
// trailing minus, and dates in day/month orders. A column is read with one convention, and
// only when every value reads under it without doubt.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "source.hpp"

namespace norvex::files::detail {
namespace {

bool digit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool starts(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}
bool ends(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Blanks that group thousands: space, no-break space, thin and narrow no-break space.
constexpr std::string_view kGroupBlanks[] = {"\xc2\xa0", "\xe2\x80\xaf", "\xe2\x80\x89", " "};
constexpr std::string_view kSymbols[] = {"$", "\xe2\x82\xac", "\xc2\xa3", "\xc2\xa5"};  // $ € £ ¥
constexpr std::string_view kCodes[] = {"USD", "EUR", "GBP", "CHF", "JPY", "CAD", "AUD",
                                       "SEK", "NOK", "DKK", "PLN", "CZK", "INR", "CNY"};
constexpr std::string_view kMinus = "\xe2\x88\x92";  // U+2212

// A currency at the front (`front`) or back of `s`, taken off with the blanks beside it.
std::string_view take_currency(std::string_view& s, bool front) {
  const auto take = [&](std::string_view c) {
    if (!(front ? starts(s, c) : ends(s, c))) return false;
    if (front) {
      s.remove_prefix(c.size());
    } else {
      s.remove_suffix(c.size());
    }
    s = trim(s);
    return true;
  };
  for (const std::string_view c : kSymbols) {
    if (take(c)) return c;
  }
  for (const std::string_view c : kCodes) {
    if (take(c)) return c;
  }
  return {};
}

bool take_minus(std::string_view& s, bool front) {
  for (const std::string_view m : {std::string_view("-"), kMinus}) {
    if (front ? starts(s, m) : ends(s, m)) {
      if (front) {
        s.remove_prefix(m.size());
      } else {
        s.remove_suffix(m.size());
      }
      s = trim(s);
      return true;
    }
  }
  return false;
}

// The group separator at s[i], or empty.
std::string_view group_at(std::string_view s, std::size_t i, bool comma) {
  const char c = s[i];
  if (c == (comma ? '.' : ',') || c == '\'') return s.substr(i, 1);
  for (const std::string_view blank : kGroupBlanks) {
    if (s.substr(i, blank.size()) == blank) return blank;
  }
  return {};
}

}  // namespace

bool read_number(std::string_view s, bool comma, Number& out) {
  out = {};
  s = trim(s);
  if (s.empty()) return false;
  bool negative = false;
  if (s.front() == '(' && s.back() == ')') {
    negative = true;
    s = trim(s.substr(1, s.size() - 2));
  }
  if (!negative) negative = take_minus(s, true);
  out.currency = take_currency(s, true);
  if (!negative) negative = take_minus(s, true);
  if (!s.empty() && s.back() == '%') {
    out.percent = true;
    s = trim(s.substr(0, s.size() - 1));
  }
  if (out.currency.empty()) out.currency = take_currency(s, false);
  if (!negative) negative = take_minus(s, false);
  if (out.percent && !out.currency.empty()) return false;
  if (s.empty() || !digit(s.front())) return false;

  // Digits in groups of three after the first, one kind of separator; then the fraction.
  // Longer numbers than fit the buffer would not be exact anyway.
  constexpr std::size_t kMaxDigits = 40;
  char text[kMaxDigits + 3];
  std::size_t digits = 0;
  std::string_view separator;
  std::size_t group = 0;
  bool grouped = false;
  std::size_t i = 0;
  const char decimal = comma ? ',' : '.';
  for (; i < s.size(); ++i) {
    if (digit(s[i])) {
      if (digits == kMaxDigits) return false;
      text[digits++] = s[i];
      ++group;
      continue;
    }
    if (s[i] == decimal) break;
    const std::string_view sep = group_at(s, i, comma);
    if (sep.empty()) return false;
    if ((grouped && group != 3) || (!grouped && (group == 0 || group > 3))) return false;
    if (!separator.empty() && sep != separator) return false;
    separator = sep;
    grouped = true;
    group = 0;
    i += sep.size() - 1;
  }
  if (grouped && group != 3) return false;
  if (digits > 1 && text[0] == '0') return false;  // "007": an identifier
  const std::size_t integer_digits = digits;
  text[digits++] = '.';
  if (i < s.size()) {
    for (++i; i < s.size(); ++i) {
      if (!digit(s[i]) || digits > kMaxDigits) return false;
      text[digits++] = s[i];
    }
    if (digits == integer_digits + 1) return false;
  }
  const std::size_t fraction_digits = digits - integer_digits - 1;
  out.grouped = grouped;
  out.separator = separator;
  out.has_fraction = fraction_digits > 0;

  // Exact or refused: a 64-bit integer, or a REAL with no more digits than a double keeps.
  if (!out.has_fraction && !out.percent) {
    const auto [end, ec] = std::from_chars(text, text + integer_digits, out.integer);
    if (ec != std::errc() || end != text + integer_digits) return false;
    if (negative) out.integer = -out.integer;
    out.integral = true;
    out.real = static_cast<double>(out.integer);
    return true;
  }
  std::size_t significant = integer_digits + fraction_digits;
  for (std::size_t k = 0; k < digits && (text[k] == '0' || text[k] == '.'); ++k) {
    if (text[k] == '0') --significant;
  }
  if (significant > 17) return false;
  if (fraction_digits == 0) text[digits++] = '0';
  std::from_chars(text, text + digits, out.real);
  if (out.percent) out.real /= 100;
  if (negative && out.real != 0) out.real = -out.real;
  return true;
}

namespace {

// One or two digits, then where they end.
int small_number(std::string_view s, std::size_t& i, std::size_t max_digits) {
  int value = 0;
  const std::size_t start = i;
  while (i < s.size() && digit(s[i]) && i - start < max_digits) value = value * 10 + (s[i++] - '0');
  return i == start ? -1 : value;
}

bool real_day(int year, int month, int day) {
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && day == 29 && !leap);
}

char two(int n, int which) {
  return static_cast<char>('0' + (which == 0 ? n / 10 % 10 : n % 10));
}

}  // namespace

unsigned date_orders(std::string_view s, DateParts& parts) {
  parts = {};
  s = trim(s);
  std::size_t i = 0;
  const int a = small_number(s, i, 4);
  const std::size_t a_digits = i;
  if (a < 0 || i >= s.size()) return 0;
  const char sep = s[i];
  if (sep != '.' && sep != '/' && sep != '-') return 0;
  ++i;
  const std::size_t b_start = i;
  const int b = small_number(s, i, 2);
  if (b < 0 || i >= s.size() || s[i] != sep) return 0;
  const std::size_t b_digits = i - b_start;
  ++i;
  const std::size_t c_start = i;
  const int c = small_number(s, i, 4);
  const std::size_t c_digits = i - c_start;
  if (c < 0) return 0;
  // An optional time: HH:MM[:SS] after a blank or "T".
  if (i < s.size()) {
    if (s[i] != ' ' && s[i] != 'T') return 0;
    ++i;
    const int hour = small_number(s, i, 2);
    if (hour < 0 || hour > 23 || i >= s.size() || s[i] != ':') return 0;
    ++i;
    const std::size_t m_start = i;
    const int minute = small_number(s, i, 2);
    if (minute < 0 || minute > 59 || i - m_start != 2) return 0;
    int second = 0;
    if (i < s.size() && s[i] == ':') {
      ++i;
      const std::size_t s_start = i;
      second = small_number(s, i, 2);
      if (second < 0 || second > 59 || i - s_start != 2) return 0;
    }
    if (i != s.size()) return 0;
    parts.has_time = true;
    parts.hour = hour;
    parts.minute = minute;
    parts.second = second;
  }
  unsigned orders = 0;
  if (a_digits == 4 && c_digits <= 2 && sep != '.' && real_day(a, b, c)) {
    orders |= kYmd;
    parts.ymd = {a, b, c};
  }
  if (a_digits <= 2 && b_digits <= 2 && c_digits == 4) {
    if (real_day(c, b, a)) {
      orders |= kDmy;
      parts.dmy = {c, b, a};
    }
    // Nobody writes month.day.year with dots.
    if (sep != '.' && real_day(c, a, b)) {
      orders |= kMdy;
      parts.mdy = {c, a, b};
    }
  }
  return orders;
}

void iso_date(const DateParts& parts, unsigned order, std::string& out) {
  const auto& ymd = order == kDmy ? parts.dmy : order == kMdy ? parts.mdy : parts.ymd;
  out.assign(10, '-');
  out[0] = static_cast<char>('0' + ymd[0] / 1000 % 10);
  out[1] = static_cast<char>('0' + ymd[0] / 100 % 10);
  out[2] = two(ymd[0], 0);
  out[3] = two(ymd[0], 1);
  out[5] = two(ymd[1], 0);
  out[6] = two(ymd[1], 1);
  out[8] = two(ymd[2], 0);
  out[9] = two(ymd[2], 1);
  if (parts.has_time) {
    out += ' ';
    for (const int n : {parts.hour, parts.minute, parts.second}) {
      out += two(n, 0);
      out += two(n, 1);
      out += ':';
    }
    out.pop_back();
  }
}

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

}  // namespace

bool utc_timestamp(std::string_view s, std::string& out) {
  // YYYY-MM-DD[T ]HH:MM[:SS[.fraction]] then the offset: checked as a timestamp already.
  if (s.size() < 17) return false;
  const int year = digits_at(s, 0, 4), month = digits_at(s, 5, 2), day = digits_at(s, 8, 2);
  const int hour = digits_at(s, 11, 2), minute = digits_at(s, 14, 2);
  int second = 0;
  std::size_t i = 16;
  std::string_view fraction;
  if (s[i] == ':') {
    second = digits_at(s, i + 1, 2);
    i += 3;
    if (i < s.size() && s[i] == '.') {
      const std::size_t start = i;
      ++i;
      while (i < s.size() && digit(s[i])) ++i;
      fraction = s.substr(start, i - start);
    }
  }
  if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0) return false;
  int offset = 0;  // minutes east of UTC
  if (i < s.size() && s[i] == 'Z') {
    ++i;
  } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    const int sign = s[i] == '-' ? -1 : 1;
    const std::string_view rest = s.substr(i + 1);
    const int hours = digits_at(rest, 0, 2);
    int minutes = 0;
    if (rest.size() == 5) minutes = digits_at(rest, 3, 2);
    if (rest.size() == 4) minutes = digits_at(rest, 2, 2);
    if (hours < 0 || minutes < 0) return false;
    offset = sign * (hours * 60 + minutes);
    i = s.size();
  } else {
    return false;
  }
  if (i != s.size()) return false;
  const std::int64_t total =
      (days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 1440 +
       hour * 60 + minute - offset);
  const std::int64_t days = total >= 0 ? total / 1440 : -((-total + 1439) / 1440);
  const auto in_day = static_cast<int>(total - days * 1440);
  DateParts parts;
  civil_from_days(days, parts.ymd[0], parts.ymd[1], parts.ymd[2]);
  parts.has_time = true;
  parts.hour = in_day / 60;
  parts.minute = in_day % 60;
  parts.second = second;
  iso_date(parts, kYmd, out);
  out += fraction;
  return true;
}

}  // namespace norvex::files::detail

namespace norvex::files::detail {
namespace {

constexpr TypeMask bit(ColumnType type) {
  return TypeMask(1u << static_cast<unsigned>(type));
}
constexpr TypeMask kNumberBits = bit(ColumnType::integer) | bit(ColumnType::real);
constexpr TypeMask kDateBits = bit(ColumnType::date) | bit(ColumnType::timestamp);

// "1.234" or "12.345.678": a plain decimal that a decimal-comma reader takes for thousands.
bool thousands_like(std::string_view s) {
  if (!s.empty() && s[0] == '-') s.remove_prefix(1);
  if (s.empty() || s[0] == '0') return false;
  const auto dot = s.find('.');
  if (dot == 0 || dot > 3 || dot == std::string_view::npos) return false;
  for (std::size_t i = dot; i < s.size(); i += 4) {
    if (s[i] != '.' || i + 4 > s.size()) return false;
    for (std::size_t k = i + 1; k < i + 4; ++k)
      if (!digit(s[k])) return false;
  }
  return true;
}

std::string quoted_separator(std::string_view sep) {
  if (sep == " ") return "' '";
  if (sep.size() > 1) return "thin space";
  return "'" + std::string(sep) + "'";
}

}  // namespace

void ColumnEvidence::observe_other(std::string_view s, TypeMask plain) {
  if (plain & bit(ColumnType::real)) {
    date_dead_ = true;
    ++numbers_;
    fraction_point_ = true;
    if (thousands_like(s)) {
      if (!differ_) example_ = std::string(s);
      differ_ = true;
    } else {
      all_comma_ = false;
    }
    return;
  }
  if (plain & kDateBits) {
    number_dead_ = true;
    if (plain == bit(ColumnType::timestamp)) {
      time_ = true;
      // The offset: "Z" or what follows the last '+' or '-' after the time.
      std::string_view offset;
      if (s.back() == 'Z') {
        offset = "+00:00";
      } else {
        // From the back: the time's digits and ':' come before any offset sign.
        std::size_t at = s.size();
        while (at > 10 && s[at - 1] != '+' && s[at - 1] != '-') --at;
        if (at > 11) offset = s.substr(at - 1);
      }
      if (offset.empty()) {
        ++unzoned_;
      } else {
        if (zoned_++ == 0) {
          first_offset_ = std::string(offset);
        } else if (offset != first_offset_) {
          offsets_differ_ = true;
        }
      }
    }
    return;
  }
  if (plain != 0) {
    number_dead_ = date_dead_ = true;
    return;
  }
  if (number_dead_ && date_dead_) return;
  ++converted_;
  if (!number_dead_) {
    // A convention that some value already refused need not read the rest.
    Number p;
    Number c;
    const bool by_point = all_point_ && read_number(s, false, p);
    const bool by_comma = all_comma_ && read_number(s, true, c);
    if (!by_point && !by_comma) {
      number_dead_ = true;
      const std::string_view digits = s.substr(!s.empty() && s[0] == '-' ? 1 : 0);
      if (digits.size() > 18 && digits.find_first_not_of("0123456789") == std::string::npos) {
        too_big_ = true;
      }
    } else {
      ++numbers_;
      all_point_ = all_point_ && by_point;
      all_comma_ = all_comma_ && by_comma;
      const Number& any = by_point ? p : c;
      if (by_point && by_comma && (p.real != c.real || p.integral != c.integral)) {
        if (!differ_) example_ = std::string(s);
        differ_ = true;
      }
      if (by_point) {
        fraction_point_ = fraction_point_ || !p.integral;
        if (p.grouped && separator_point_.empty()) separator_point_ = std::string(p.separator);
      }
      if (by_comma) {
        fraction_comma_ = fraction_comma_ || !c.integral;
        if (c.grouped && separator_comma_.empty()) separator_comma_ = std::string(c.separator);
      }
      if (any.percent) ++percents_;
      if (!any.currency.empty()) {
        if (currency_.empty()) {
          currency_ = any.currency;
        } else if (currency_ != any.currency) {
          mixed_currencies_ = true;
        }
      }
    }
  }
  if (!date_dead_) {
    DateParts parts;
    const unsigned orders = date_orders(s, parts);
    if (orders == 0) {
      date_dead_ = true;
    } else {
      orders_ &= orders;
      time_ = time_ || parts.has_time;
      if ((orders & kDmy) && (orders & kMdy) && parts.dmy != parts.mdy) {
        if (!date_differ_) date_example_ = std::string(s);
        date_differ_ = true;
      }
    }
  }
}

ColumnEvidence::Reading ColumnEvidence::decide(const FileHints& hints, ColumnType plain) const {
  Reading out;
  if (converted_ == 0 && plain == ColumnType::timestamp && zoned_ > 0) {
    // Times at different offsets compare right only in one zone.
    if (unzoned_ > 0) {
      out.note = "some times have a UTC offset and some not; they compare as written";
    } else if (offsets_differ_) {
      out.kind = Kind::date;
      out.type = ColumnType::timestamp;
      out.utc = true;
      out.note = "times at different UTC offsets, stored in UTC as YYYY-MM-DD HH:MM:SS";
    }
    return out;
  }
  if (converted_ == 0) {
    // Plain decimals all like "1.234" are thousands to a file that writes decimal commas.
    if (plain == ColumnType::real && differ_ && all_comma_ &&
        (hints.decimal_comma || hints.file_decimal > 0)) {
      out.kind = Kind::number;
      out.comma = true;
      out.type = fraction_comma_ ? ColumnType::real : ColumnType::integer;
      out.note = "decimal comma, thousands '.'";
    }
    return out;
  }
  if (!number_dead_ && (all_point_ || all_comma_)) {
    if (mixed_currencies_) {
      out.note = "kept as text: more than one currency";
      return out;
    }
    if (percents_ != 0 && percents_ != numbers_) {
      out.note = "kept as text: some values have a % sign, others not";
      return out;
    }
    int comma = -1;  // undecided
    if (hints.decimal_comma) {
      comma = all_comma_ ? 1 : -2;
    } else if (all_point_ != all_comma_) {
      comma = all_comma_ ? 1 : 0;
    } else if (!differ_) {
      comma = 0;  // every value reads the same either way
    } else if (hints.file_decimal != 0 && (hints.file_decimal > 0 ? all_comma_ : all_point_)) {
      comma = hints.file_decimal > 0 ? 1 : 0;
    }
    if (comma == -2) {
      out.note = "kept as text: not every value reads with a decimal comma";
      return out;
    }
    if (comma < 0) {
      out.note = "kept as text: '" + example_ +
                 "' could be read with a decimal point or as thousands; say --decimal-comma, "
                 "or --column-type";
      out.ambiguous = true;
      return out;
    }
    out.kind = Kind::number;
    out.comma = comma == 1;
    out.evidence = !hints.decimal_comma && all_point_ != all_comma_;
    const bool fraction = out.comma ? fraction_comma_ : fraction_point_;
    out.type = fraction || percents_ != 0 ? ColumnType::real : ColumnType::integer;
    out.note = out.comma ? "decimal comma" : "decimal point";
    const std::string_view separator = out.comma ? separator_comma_ : separator_point_;
    if (!separator.empty()) out.note += ", thousands " + quoted_separator(separator);
    if (!currency_.empty()) out.note += ", currency " + std::string(currency_) + " (sign dropped)";
    if (percents_ != 0) out.note += ", percent stored as a fraction (12% = 0.12)";
    return out;
  }
  if (!date_dead_) {
    if (orders_ == 0) {
      out.note = "kept as text: mixed date orders";
      return out;
    }
    unsigned order = 0;
    for (const unsigned candidate : {kYmd, kDmy, kMdy}) {
      if ((orders_ & candidate) == 0) continue;
      if (order == 0) order = candidate;
    }
    const bool several = (orders_ & (orders_ - 1)) != 0;
    if (several && date_differ_) {
      if (hints.date_order != 0 && (orders_ & hints.date_order)) {
        order = hints.date_order;
      } else if (hints.file_order != 0 && (orders_ & hints.file_order)) {
        order = hints.file_order;
      } else {
        out.note = "kept as text: day and month order ambiguous ('" + date_example_ +
                   "'); say --date-order dmy or mdy";
        out.ambiguous = true;
        return out;
      }
    }
    out.kind = Kind::date;
    out.order = order;
    out.evidence = !several;
    out.type = time_ ? ColumnType::timestamp : ColumnType::date;
    out.note = std::string("dates written ") +
               (order == kDmy   ? "day/month/year"
                : order == kMdy ? "month/day/year"
                                : "year/month/day") +
               ", stored as ISO " + (time_ ? "YYYY-MM-DD HH:MM:SS" : "YYYY-MM-DD");
    return out;
  }
  if (too_big_) out.note = "kept as text: integers beyond 64 bits";
  return out;
}

}  // namespace norvex::files::detail
