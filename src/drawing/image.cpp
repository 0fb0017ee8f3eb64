#include "norvex/drawing/image.hpp"

#include <fcntl.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "norvex/error.hpp"

namespace norvex::drawing {
namespace {

namespace fs = std::filesystem;

enum class Format { png, jpeg, bmp, tga };

constexpr std::string_view kSupportedExtensions = ".png, .jpg, .jpeg, .bmp, .tga";
constexpr int kJpegQuality = 90;

Format format_for(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".png") return Format::png;
  if (extension == ".jpg" || extension == ".jpeg") return Format::jpeg;
  if (extension == ".bmp") return Format::bmp;
  if (extension == ".tga") return Format::tga;
  const std::string shown = extension.empty() ? "no extension" : "extension '" + extension + "'";
  throw ArgumentError("cannot save an image to '" + path.string() + "': " + shown +
                      " is not supported (supported: " + std::string(kSupportedExtensions) + ")");
}

struct PixelsDeleter {
  void operator()(stbi_uc* pixels) const noexcept { stbi_image_free(pixels); }
};
using Pixels = std::unique_ptr<stbi_uc, PixelsDeleter>;

void append_to_string(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                             static_cast<std::size_t>(size));
}

// JPEG and BMP viewers ignore alpha, so transparent pixels are laid over white first.
std::vector<stbi_uc> flatten_on_white(const stbi_uc* rgba, int width, int height) {
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::vector<stbi_uc> rgb(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned alpha = rgba[i * 4 + 3];
    for (std::size_t c = 0; c < 3; ++c) {
      rgb[i * 3 + c] =
          static_cast<stbi_uc>((rgba[i * 4 + c] * alpha + 255U * (255U - alpha)) / 255U);
    }
  }
  return rgb;
}

std::string encode(Format format, const stbi_uc* rgba, int width, int height) {
  std::string out;
  int ok = 0;
  switch (format) {
    case Format::png:
      ok = stbi_write_png_to_func(append_to_string, &out, width, height, 4, rgba, width * 4);
      break;
    case Format::tga:
      ok = stbi_write_tga_to_func(append_to_string, &out, width, height, 4, rgba);
      break;
    case Format::jpeg: {
      const auto rgb = flatten_on_white(rgba, width, height);
      ok = stbi_write_jpg_to_func(append_to_string, &out, width, height, 3, rgb.data(),
                                  kJpegQuality);
      break;
    }
    case Format::bmp: {
      const auto rgb = flatten_on_white(rgba, width, height);
      ok = stbi_write_bmp_to_func(append_to_string, &out, width, height, 3, rgb.data());
      break;
    }
  }
  if (ok == 0 || out.empty()) throw Error("cannot encode the image");
  return out;
}

std::string os_error(const std::string& what, const fs::path& path, int error) {
  return what + " '" + path.string() + "': " + std::strerror(error);
}

// Closes the descriptor and removes the temporary file unless it was renamed into place.
class TempFile {
 public:
  TempFile(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  [[nodiscard]] int fd() const noexcept { return fd_; }
  [[nodiscard]] const fs::path& path() const noexcept { return path_; }
  int close() noexcept {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }
  void release() noexcept { path_.clear(); }

 private:
  int fd_;
  fs::path path_;
};

TempFile create_temp_beside(const fs::path& path) {
  static std::atomic<unsigned> counter{0};
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        folder / ("." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                  std::to_string(counter.fetch_add(1)));
    // 0666 lets the umask decide the final file's mode, as for any newly created file.
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return TempFile(fd, candidate);
    if (errno != EEXIST) throw Error(os_error("cannot write image file", path, errno));
  }
  throw Error("cannot create a temporary file beside '" + path.string() + "'");
}

void write_replacing(const fs::path& path, std::string_view data) {
  TempFile temp = create_temp_beside(path);
  while (!data.empty()) {
    const ssize_t written = ::write(temp.fd(), data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw Error(os_error("cannot write image file", path, errno));
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  if (temp.close() != 0) throw Error(os_error("cannot write image file", path, errno));
  if (::rename(temp.path().c_str(), path.c_str()) != 0) {
    throw Error(os_error("cannot replace image file", path, errno));
  }
  temp.release();
}

}  // namespace

void save_image(std::string_view image_bytes, const std::filesystem::path& path) {
  const Format format = format_for(path);
  if (image_bytes.empty() || image_bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    throw ValueError("cannot decode the image: " + std::to_string(image_bytes.size()) +
                     " bytes is no usable image size");
  }
  int width = 0;
  int height = 0;
  int channels = 0;
  const Pixels pixels(stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(image_bytes.data()),
                                            static_cast<int>(image_bytes.size()), &width, &height,
                                            &channels, 4));
  if (!pixels) {
    const char* reason = stbi_failure_reason();
    throw ValueError(std::string("cannot decode the image: ") +
                     (reason != nullptr ? reason : "unknown format"));
  }
  write_replacing(path, encode(format, pixels.get(), width, height));
}

}  // namespace norvex::drawing
