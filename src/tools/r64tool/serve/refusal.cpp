// The one table from refusals to HTTP statuses: client mistakes are 4xx, never 500;
// 500 only for a damaged file or a failure on the server's side.
#include "refusal.h"

#include <array>
#include <utility>

namespace r64serve {
namespace {

constexpr std::array<std::pair<Refusal, RefusalInfo>, 12> kTable{{
    {Refusal::BadRegion, {400, "invalid region"}},
    {Refusal::BadSize, {400, "invalid size"}},
    {Refusal::SizeAboveLimits, {400, "size above the server's limits"}},
    {Refusal::BadRotation, {400, "invalid rotation"}},
    {Refusal::BadQuality, {400, "invalid quality"}},
    {Refusal::BadFormat, {400, "unsupported format"}},
    {Refusal::BadName, {404, "no such image"}},
    {Refusal::UnknownImage, {404, "no such image"}},
    {Refusal::UnknownPath, {404, "not found"}},
    {Refusal::MethodNotAllowed, {405, "method not allowed"}},
    {Refusal::DamagedImage, {500, "damaged image data"}},
    {Refusal::InternalError, {500, "internal error"}},
}};

} // namespace

RefusalInfo refusal_info(Refusal r) {
    for (const auto &[key, info] : kTable) {
        if (key == r) {
            return info;
        }
    }
    return {500, "internal error"};
}

} // namespace r64serve
