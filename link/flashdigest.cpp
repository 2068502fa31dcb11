#include "flashdigest.h"

#include "flashplan.h"
#include "sessionfiles.h"

#include <algorithm>

QString FlashSha256(std::span<const std::uint8_t> image)
{
    const auto lastProgrammed =
        std::find_if(image.rbegin(), image.rend(), [](std::uint8_t b) { return b != kBlankByte; });
    return Sha256Of(image.first(std::size_t(image.rend() - lastProgrammed)));
}
