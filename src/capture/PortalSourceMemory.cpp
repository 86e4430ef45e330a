#include "capture/PortalSourceMemory.h"

#include <cstdio>

#include "platform/storage/SettingsFile.h"

namespace zimlo::capture {
namespace {

const char* typeName(PortalSource::Type type) {
    return type == PortalSource::Type::window ? "window" : "monitor";
}

}  // namespace

PortalSourceMemory::PortalSourceMemory(std::shared_ptr<SettingsFile> defaults)
    : defaults_(defaults ? std::move(defaults) : SettingsFile::standard()) {}

std::string PortalSourceMemory::tokenKey(PortalSource::Type type) {
    return std::string("zimlo.portal.") + typeName(type) + ".restoreToken";
}

std::string PortalSourceMemory::sizeKey(PortalSource::Type type) {
    return std::string("zimlo.portal.") + typeName(type) + ".size";
}

std::optional<std::string> PortalSourceMemory::restoreToken(PortalSource::Type type) const {
    auto token = defaults_->string(tokenKey(type));
    if (!token || token->empty()) return std::nullopt;
    return token;
}

std::optional<PixelSize> PortalSourceMemory::lastSize(PortalSource::Type type) const {
    auto text = defaults_->string(sizeKey(type));
    if (!text) return std::nullopt;
    int width = 0, height = 0;
    char rest = 0;
    if (std::sscanf(text->c_str(), "%dx%d%c", &width, &height, &rest) != 2 || width < 1 ||
        height < 1 || width > 65535 || height > 65535)
        return std::nullopt;  // a hand-edited or damaged value counts as unknown
    return PixelSize{width, height};
}

// A failed write is logged by the store; the portal then simply asks again next time.
void PortalSourceMemory::remember(PortalSource::Type type, const std::optional<std::string>& token,
                                  const std::optional<PixelSize>& size) {
    if (token && !token->empty())
        (void)defaults_->setString(tokenKey(type), *token);
    else
        (void)defaults_->remove(tokenKey(type));
    if (size)
        (void)defaults_->setString(
            sizeKey(type), std::to_string(size->width) + "x" + std::to_string(size->height));
}

void PortalSourceMemory::forgetToken(PortalSource::Type type) {
    (void)defaults_->remove(tokenKey(type));
}

}  // namespace zimlo::capture
