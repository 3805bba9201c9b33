#include "common/punycode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using ox::oxs::punycode_decode;
using ox::oxs::punycode_encode;
using ox::oxs::punycode_status_t;
using points_t = std::vector<std::uint32_t>;

struct sample_t {
    const char* name;
    points_t points;
    std::string encoded;
};

// The samples of RFC 3492 section 7.1. The one mixed-case annotation that
// falls on a non-basic code point (the "D" of the Russian sample) is shown
// here in the lower case that encoding without case flags writes.
const std::vector<sample_t> samples = {
    {"A Arabic (Egyptian)",
     {0x0644, 0x064A, 0x0647, 0x0645, 0x0627, 0x0628, 0x062A, 0x0643, 0x0644, 0x0645, 0x0648, 0x0634, 0x0639, 0x0631,
      0x0628, 0x064A, 0x061F},
     "egbpdaj6bu4bxfgehfvwxn"},
    {"B Chinese (simplified)",
     {0x4ED6, 0x4EEC, 0x4E3A, 0x4EC0, 0x4E48, 0x4E0D, 0x8BF4, 0x4E2D, 0x6587},
     "ihqwcrb4cv8a8dqg056pqjye"},
    {"C Chinese (traditional)",
     {0x4ED6, 0x5011, 0x7232, 0x4EC0, 0x9EBD, 0x4E0D, 0x8AAA, 0x4E2D, 0x6587},
     "ihqwctvzc91f659drss3x8bo0yb"},
    {"D Czech",
     {0x0050, 0x0072, 0x006F, 0x010D, 0x0070, 0x0072, 0x006F, 0x0073, 0x0074, 0x011B, 0x006E,
      0x0065, 0x006D, 0x006C, 0x0075, 0x0076, 0x00ED, 0x010D, 0x0065, 0x0073, 0x006B, 0x0079},
     "Proprostnemluvesky-uyb24dma41a"},
    {"E Hebrew",
     {0x05DC, 0x05DE, 0x05D4, 0x05D4, 0x05DD, 0x05E4, 0x05E9, 0x05D5, 0x05D8, 0x05DC, 0x05D0,
      0x05DE, 0x05D3, 0x05D1, 0x05E8, 0x05D9, 0x05DD, 0x05E2, 0x05D1, 0x05E8, 0x05D9, 0x05EA},
     "4dbcagdahymbxekheh6e0a7fei0b"},
    {"F Hindi (Devanagari)",
     {0x092F, 0x0939, 0x0932, 0x094B, 0x0917, 0x0939, 0x093F, 0x0928, 0x094D, 0x0926,
      0x0940, 0x0915, 0x094D, 0x092F, 0x094B, 0x0902, 0x0928, 0x0939, 0x0940, 0x0902,
      0x092C, 0x094B, 0x0932, 0x0938, 0x0915, 0x0924, 0x0947, 0x0939, 0x0948, 0x0902},
     "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
    {"G Japanese (kanji and hiragana)",
     {0x306A, 0x305C, 0x307F, 0x3093, 0x306A, 0x65E5, 0x672C, 0x8A9E, 0x3092, 0x8A71, 0x3057, 0x3066, 0x304F, 0x308C,
      0x306A, 0x3044, 0x306E, 0x304B},
     "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
    {"H Korean (Hangul syllables)",
     {0xC138, 0xACC4, 0xC758, 0xBAA8, 0xB4E0, 0xC0AC, 0xB78C, 0xB4E4, 0xC774, 0xD55C, 0xAD6D, 0xC5B4,
      0xB97C, 0xC774, 0xD574, 0xD55C, 0xB2E4, 0xBA74, 0xC5BC, 0xB9C8, 0xB098, 0xC88B, 0xC744, 0xAE4C},
     "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
    {"I Russian (Cyrillic)",
     {0x043F, 0x043E, 0x0447, 0x0435, 0x043C, 0x0443, 0x0436, 0x0435, 0x043E, 0x043D, 0x0438, 0x043D, 0x0435, 0x0433,
      0x043E, 0x0432, 0x043E, 0x0440, 0x044F, 0x0442, 0x043F, 0x043E, 0x0440, 0x0443, 0x0441, 0x0441, 0x043A, 0x0438},
     "b1abfaaepdrnnbgefbadotcwatmq2g4l"},
    {"J Spanish",
     {0x0050, 0x006F, 0x0072, 0x0071, 0x0075, 0x00E9, 0x006E, 0x006F, 0x0070, 0x0075, 0x0065, 0x0064, 0x0065, 0x006E,
      0x0073, 0x0069, 0x006D, 0x0070, 0x006C, 0x0065, 0x006D, 0x0065, 0x006E, 0x0074, 0x0065, 0x0068, 0x0061, 0x0062,
      0x006C, 0x0061, 0x0072, 0x0065, 0x006E, 0x0045, 0x0073, 0x0070, 0x0061, 0x00F1, 0x006F, 0x006C},
     "PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {"K Vietnamese",
     {0x0054, 0x1EA1, 0x0069, 0x0073, 0x0061, 0x006F, 0x0068, 0x1ECD, 0x006B, 0x0068, 0x00F4,
      0x006E, 0x0067, 0x0074, 0x0068, 0x1EC3, 0x0063, 0x0068, 0x1EC9, 0x006E, 0x00F3, 0x0069,
      0x0074, 0x0069, 0x1EBF, 0x006E, 0x0067, 0x0056, 0x0069, 0x1EC7, 0x0074},
     "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {"L 3nenB-gumi", {0x0033, 0x5E74, 0x0042, 0x7D44, 0x91D1, 0x516B, 0x5148, 0x751F}, "3B-ww4c5e180e575a65lsy2b"},
    {"M -with-SUPER-MONKEYS",
     {0x5B89, 0x5BA4, 0x5948, 0x7F8E, 0x6075, 0x002D, 0x0077, 0x0069, 0x0074, 0x0068, 0x002D, 0x0053,
      0x0055, 0x0050, 0x0045, 0x0052, 0x002D, 0x004D, 0x004F, 0x004E, 0x004B, 0x0045, 0x0059, 0x0053},
     "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {"N Hello-Another-Way-",
     {0x0048, 0x0065, 0x006C, 0x006C, 0x006F, 0x002D, 0x0041, 0x006E, 0x006F, 0x0074, 0x0068, 0x0065, 0x0072,
      0x002D, 0x0057, 0x0061, 0x0079, 0x002D, 0x305D, 0x308C, 0x305E, 0x308C, 0x306E, 0x5834, 0x6240},
     "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {"O 2", {0x3072, 0x3068, 0x3064, 0x5C4B, 0x6839, 0x306E, 0x4E0B, 0x0032}, "2-u9tlzr9756bt3uc0v"},
    {"P MajiKoi5",
     {0x004D, 0x0061, 0x006A, 0x0069, 0x3067, 0x004B, 0x006F, 0x0069, 0x3059, 0x308B, 0x0035, 0x79D2, 0x524D},
     "MajiKoi5-783gue6qz075azm5e"},
    {"Q de", {0x30D1, 0x30D5, 0x30A3, 0x30FC, 0x0064, 0x0065, 0x30EB, 0x30F3, 0x30D0}, "de-jg4avhby1noc0d"},
    {"R sono supiido de", {0x305D, 0x306E, 0x30B9, 0x30D4, 0x30FC, 0x30C9, 0x3067}, "d9juau41awczczp"},
    {"S -> $1.00 <-",
     {0x002D, 0x003E, 0x0020, 0x0024, 0x0031, 0x002E, 0x0030, 0x0030, 0x0020, 0x003C, 0x002D},
     "-> $1.00 <--"},
};

punycode_status_t encode(const points_t& points, std::string& out, std::size_t capacity = 256,
                         const unsigned char* flags = nullptr)
{
    out.assign(capacity, '\0');
    std::size_t length = capacity;
    const auto status = punycode_encode(points.size(), points.data(), flags, &length, out.data());
    out.resize(status == punycode_status_t::success ? length : 0);
    return status;
}

punycode_status_t decode(const std::string& text, points_t& out, std::size_t capacity = 256,
                         unsigned char* flags = nullptr)
{
    out.assign(capacity, 0);
    std::size_t length = capacity;
    const auto status = punycode_decode(text.size(), text.data(), &length, out.data(), flags);
    out.resize(status == punycode_status_t::success ? length : 0);
    return status;
}

TEST(punycode, rfc_samples_encode)
{
    for (const auto& s : samples) {
        std::string out;
        EXPECT_EQ(encode(s.points, out), punycode_status_t::success) << s.name;
        EXPECT_EQ(out, s.encoded) << s.name;
    }
}

TEST(punycode, rfc_samples_decode)
{
    for (const auto& s : samples) {
        points_t out;
        EXPECT_EQ(decode(s.encoded, out), punycode_status_t::success) << s.name;
        EXPECT_EQ(out, s.points) << s.name;
    }
}

TEST(punycode, exact_capacity_suffices)
{
    for (const auto& s : samples) {
        std::string text;
        EXPECT_EQ(encode(s.points, text, s.encoded.size()), punycode_status_t::success) << s.name;
        points_t points;
        EXPECT_EQ(decode(s.encoded, points, s.points.size()), punycode_status_t::success) << s.name;
    }
}

TEST(punycode, case_annotations)
{
    // The Russian sample as the RFC prints it: the upper-case digit marks
    // its first code point.
    const std::string annotated = "b1abfaaepdrnnbgefbaDotcwatmq2g4l";
    const auto& russian = samples[8];
    points_t points;
    std::vector<unsigned char> flags(256, 9);
    ASSERT_EQ(decode(annotated, points, 256, flags.data()), punycode_status_t::success);
    EXPECT_EQ(points, russian.points);
    flags.resize(points.size());
    std::vector<unsigned char> expected(points.size(), 0);
    expected[0] = 1;
    EXPECT_EQ(flags, expected);

    std::string text;
    ASSERT_EQ(encode(points, text, 256, flags.data()), punycode_status_t::success);
    EXPECT_EQ(text, annotated);

    // Basic code points take the case of their flag.
    const points_t basic = {'a', 'B', 0xFC};
    const unsigned char basic_flags[] = {1, 0, 0};
    ASSERT_EQ(encode(basic, text, 256, basic_flags), punycode_status_t::success);
    EXPECT_EQ(text, "Ab-yka");
}

TEST(punycode, encode_failures)
{
    struct case_t {
        const char* name;
        points_t points;
        std::size_t capacity;
        punycode_status_t expected;
    };
    const case_t cases[] = {
        {"no room for the delimiter", {'a', 'b', 0xFC}, 2, punycode_status_t::big_output},
        {"no room for a digit", {'a', 'b', 0xFC}, 4, punycode_status_t::big_output},
        {"delta beyond 32 bits", {0x81, 0xFFFFFFFF}, 256, punycode_status_t::overflow},
        {"nothing to write", {}, 0, punycode_status_t::success},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(encode(c.points, out, c.capacity), c.expected) << c.name;
    }
}

TEST(punycode, decode_failures)
{
    struct case_t {
        const char* name;
        std::string text;
        std::size_t capacity;
        punycode_status_t expected;
    };
    const case_t cases[] = {
        {"non-basic byte before the delimiter", "b\xc3\xbc-kva", 63, punycode_status_t::bad_input},
        {"byte that is no digit", "bcher-kv!", 63, punycode_status_t::bad_input},
        {"input ends inside a number", "bcher-k", 63, punycode_status_t::bad_input},
        {"lone delimiter read as a digit", "-", 63, punycode_status_t::bad_input},
        {"more basic code points than room", "bcher-kva", 4, punycode_status_t::big_output},
        {"insertion beyond the room", "bcher-kva", 5, punycode_status_t::big_output},
        {"number beyond 32 bits", "99999999999", 63, punycode_status_t::overflow},
    };
    for (const auto& c : cases) {
        points_t out;
        EXPECT_EQ(decode(c.text, out, c.capacity), c.expected) << c.name;
    }
    points_t out;
    EXPECT_EQ(decode("", out), punycode_status_t::success);
    EXPECT_TRUE(out.empty());
}

} // namespace
