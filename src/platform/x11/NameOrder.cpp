#include "platform/x11/NameOrder.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>
#include <mutex>

namespace zimlo::x11 {
namespace {

std::unique_ptr<icu::Collator> makeCollator() {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::getDefault();
    // The C/POSIX locale collates by code point (capitals first); names want the common order.
    if (std::string_view(locale.getVariant()) == "POSIX" ||
        std::string_view(locale.getLanguage()).empty()) {
        locale = icu::Locale::getRoot();
    }
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) {
        status = U_ZERO_ERROR;
        collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    }
    if (!collator) return nullptr;
    collator->setStrength(icu::Collator::SECONDARY);  // ignores case, keeps accents
    status = U_ZERO_ERROR;
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    return collator;
}

}  // namespace

int compareNames(std::string_view a, std::string_view b) {
    // serialises: comparisons with the collator, which is not safe for concurrent use
    static std::mutex mutex;
    static std::unique_ptr<icu::Collator> collator = makeCollator();
    if (!collator) return a.compare(b);
    auto ua =
        icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())));
    auto ub =
        icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<int32_t>(b.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::lock_guard lock(mutex);
    UCollationResult result = collator->compare(ua, ub, status);
    if (U_FAILURE(status)) return a.compare(b);
    return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

}  // namespace zimlo::x11
