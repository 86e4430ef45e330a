#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/runtime/Result.h"

namespace zimlo {
namespace {

struct ParseError {
    enum class Kind { empty, notANumber } kind;
    std::string text;
    friend bool operator==(const ParseError&, const ParseError&) = default;
};

Result<int, ParseError> parse(const std::string& text) {
    if (text.empty()) return fail(ParseError{ParseError::Kind::empty, {}});
    try {
        return std::stoi(text);
    } catch (const std::exception&) {
        return fail(ParseError{ParseError::Kind::notANumber, text});
    }
}

// A value and an error travel unchanged, and each side is told apart from the other.
TEST(Result, CarriesEitherTheValueOrTheError) {
    auto parsed = parse("42");
    ASSERT_TRUE(parsed.ok());
    EXPECT_TRUE(static_cast<bool>(parsed));
    EXPECT_EQ(*parsed, 42);
    EXPECT_EQ(parsed.valueOr(7), 42);

    auto empty = parse("");
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().kind, ParseError::Kind::empty);
    EXPECT_EQ(empty.valueOr(7), 7);

    auto wrong = parse("abc");
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error(), (ParseError{ParseError::Kind::notANumber, "abc"}));
    EXPECT_NE(parsed, wrong);
    EXPECT_EQ(parse("42"), parsed);
}

// With the same type on both sides (a path and a reason are both strings), which side is held
// is decided by fail(), never by the type.
TEST(Result, SameTypeOnBothSidesStaysApart) {
    Result<std::string, std::string> found = std::string("movie.mov");
    Result<std::string, std::string> failed = fail(std::string("磁盘已满"));
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found.value(), "movie.mov");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), "磁盘已满");
    EXPECT_NE(found, failed);
}

// Values that can only move (a decoder, a frame) can be returned and taken out.
TEST(Result, MoveOnlyValuesAndVoidResults) {
    auto make = [](bool ok) -> Result<std::unique_ptr<int>, std::string> {
        if (!ok) return fail("no memory");
        return std::make_unique<int>(5);
    };
    auto made = make(true);
    ASSERT_TRUE(made.ok());
    std::unique_ptr<int> taken = std::move(made).value();
    EXPECT_EQ(*taken, 5);
    EXPECT_EQ(make(false).error(), "no memory");

    auto check = [](int n) -> Result<void, ParseError> {
        if (n < 0) return fail(ParseError{ParseError::Kind::notANumber, std::to_string(n)});
        return {};
    };
    EXPECT_TRUE(check(1).ok());
    auto negative = check(-3);
    ASSERT_FALSE(negative.ok());
    EXPECT_EQ(negative.error().text, "-3");
    EXPECT_EQ(check(1), check(2));
    EXPECT_NE(check(1), negative);
}

}  // namespace
}  // namespace zimlo
