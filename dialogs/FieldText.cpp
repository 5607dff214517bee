#include "dialogs/FieldText.h"

#include "document/AnsiText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace fieldtext {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The power of ten of the first significant digit of a well-formed number that is not zero.
long long DecimalOrder(std::string_view s)
{
    long long order = 0;
    bool seenPoint = false, found = false;
    long long intDigits = 0, leadingFractionZeros = 0;
    std::size_t k = 0;
    if (k < s.size() && s[k] == '-')
        ++k;
    for (; k < s.size() && s[k] != 'e' && s[k] != 'E'; ++k) {
        if (s[k] == '.') {
            seenPoint = true;
            continue;
        }
        if (!seenPoint) {
            if (found || s[k] != '0') {
                found = true;
                ++intDigits;
            }
        } else if (!found) {
            if (s[k] == '0')
                ++leadingFractionZeros;
            else
                found = true;
        }
    }
    order = intDigits > 0 ? intDigits - 1 : -(leadingFractionZeros + 1);
    long long exponent = 0;
    bool negative = false;
    if (k < s.size()) {
        ++k;
        if (k < s.size() && (s[k] == '+' || s[k] == '-'))
            negative = s[k++] == '-';
        for (; k < s.size(); ++k)
            exponent = std::min<long long>(exponent * 10 + (s[k] - '0'), 1'000'000'000LL);
    }
    return order + (negative ? -exponent : exponent);
}

} // namespace

std::optional<std::int32_t> ParseInteger(std::string_view text)
{
    std::string_view s = Trim(text.substr(0, 63));
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return std::nullopt;
    long long v = 0;
    for (char c : s) {
        if (!IsDigit(c))
            return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > 2147483648LL)
            return std::nullopt;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::optional<float> ParseNumber(std::string_view text)
{
    std::string_view s = Trim(text.substr(0, 63));
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    // Only the plain decimal forms: [-] digits [. digits] [e [sign] digits].
    std::size_t k = 0;
    if (k < s.size() && s[k] == '-')
        ++k;
    std::size_t digits = 0;
    while (k < s.size() && IsDigit(s[k]))
        ++k, ++digits;
    if (k < s.size() && s[k] == '.') {
        ++k;
        while (k < s.size() && IsDigit(s[k]))
            ++k, ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    if (k < s.size() && (s[k] == 'e' || s[k] == 'E')) {
        ++k;
        if (k < s.size() && (s[k] == '+' || s[k] == '-'))
            ++k;
        std::size_t expDigits = 0;
        while (k < s.size() && IsDigit(s[k]))
            ++k, ++expDigits;
        if (expDigits == 0)
            return std::nullopt;
    }
    if (k != s.size())
        return std::nullopt;
    double d = 0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), d);
    if (res.ec == std::errc::result_out_of_range) {
        // Too small reads as zero; too large is no number.
        if (DecimalOrder(s) < 0)
            d = 0;
        else
            return std::nullopt;
    } else if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    const float f = static_cast<float>(d);
    if (std::isinf(f))
        return std::nullopt;
    return f;
}

std::string RangeMessage(long long low, long long high)
{
    return "Enter an integer between " + std::to_string(low) + " and " + std::to_string(high) + ".";
}

std::string FormatNumber(float value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", 6, static_cast<double>(value));
    return buf;
}

FieldCheck TakeInteger(std::string_view text, int controlId, std::int32_t& member, long long low, long long high)
{
    const auto v = ParseInteger(text);
    if (!v)
        return FieldError{controlId, kEnterInteger};
    if (*v < low || *v > high)
        return FieldError{controlId, RangeMessage(low, high)};
    member = *v;
    return std::nullopt;
}

FieldCheck TakeNumber(std::string_view text, int controlId, float& member)
{
    const auto v = ParseNumber(text);
    if (!v)
        return FieldError{controlId, kEnterNumber};
    member = *v;
    return std::nullopt;
}

FieldCheck TakeAlias(std::string_view utf8, int controlId, std::string& member)
{
    char32_t refused = 0;
    auto bytes = ansi::FromUtf8(utf8, &refused);
    if (!bytes)
        return FieldError{controlId, "The alias cannot hold the character " + ansi::Describe(refused) +
                                         ": aliases are kept in the Windows-1252 character set."};
    member = std::move(*bytes);
    return std::nullopt;
}

} // namespace fieldtext
