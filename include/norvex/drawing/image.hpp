#pragma once
/// Saving rendered graph images in the format a file name asks for.

#include <filesystem>
#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::drawing {

/// Decodes an image (PNG, JPEG, BMP, ...) and writes it in the format named by the extension
/// of `path`, case-insensitive: .png, .jpg, .jpeg, .bmp, .tga. The file is written beside its
/// final place and renamed, so a failure leaves no file and never harms an existing one.
/// Throws ArgumentError for a missing or unknown extension (before anything is written),
/// ValueError when the bytes are no decodable image, norvex::Error when writing fails.
/// Thread rule: safe to call concurrently for different paths.
NORVEX_API void save_image(std::string_view image_bytes, const std::filesystem::path& path);

}  // namespace norvex::drawing
