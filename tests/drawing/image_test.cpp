// Saving a PNG in the format its file name asks for, without ever leaving a broken file.
#include "norvex/drawing/image.hpp"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <fstream>
#include <iterator>

#include "norvex/error.hpp"

namespace norvex::drawing {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 16;
constexpr int kHeight = 8;

// Left half red, right half blue: survives JPEG compression recognisably.
std::string sample_png() {
  std::vector<unsigned char> pixels;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const bool left = x < kWidth / 2;
      pixels.insert(pixels.end(), {static_cast<unsigned char>(left ? 255 : 0), 0,
                                   static_cast<unsigned char>(left ? 0 : 255), 255});
    }
  }
  std::string out;
  stbi_write_png_to_func(
      [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
      },
      &out, kWidth, kHeight, 4, pixels.data(), kWidth * 4);
  return out;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SaveImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("norvex-image-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  [[nodiscard]] std::size_t files_in_folder() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));
  }

  fs::path folder_;
};

TEST_F(SaveImageTest, EachSupportedExtensionWritesAnImageThatDecodesBack) {
  const std::string png = sample_png();
  for (const char* name : {"g.png", "g.jpg", "g.JPEG", "g.bmp", "g.tga"}) {
    const fs::path path = folder_ / name;
    save_image(png, path);
    const std::string bytes = read_file(path);
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* pixels =
        stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                              static_cast<int>(bytes.size()), &width, &height, &channels, 3);
    ASSERT_NE(pixels, nullptr) << name;
    EXPECT_EQ(width, kWidth) << name;
    EXPECT_EQ(height, kHeight) << name;
    const stbi_uc* left = pixels + (kHeight / 2 * kWidth + 1) * 3;
    const stbi_uc* right = pixels + (kHeight / 2 * kWidth + kWidth - 2) * 3;
    EXPECT_GT(left[0], 200) << name;
    EXPECT_LT(left[2], 60) << name;
    EXPECT_GT(right[2], 200) << name;
    EXPECT_LT(right[0], 60) << name;
    stbi_image_free(pixels);
  }
  EXPECT_TRUE(read_file(folder_ / "g.png").starts_with("\x89PNG"));
  EXPECT_TRUE(read_file(folder_ / "g.jpg").starts_with("\xFF\xD8"));
  EXPECT_TRUE(read_file(folder_ / "g.bmp").starts_with("BM"));
  EXPECT_EQ(files_in_folder(), 5u);  // no temporary files left behind
}

TEST_F(SaveImageTest, UnknownOrMissingExtensionIsRefusedBeforeWriting) {
  for (const char* name : {"g.gif", "graph", "g.png.txt"}) {
    try {
      save_image(sample_png(), folder_ / name);
      FAIL() << name << " must be refused";
    } catch (const ArgumentError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(".png, .jpg"), std::string::npos) << message;
      const std::string extension = fs::path(name).extension().string();
      if (!extension.empty()) {
        EXPECT_NE(message.find(extension), std::string::npos) << message;
      }
    }
  }
  EXPECT_EQ(files_in_folder(), 0u);
}

TEST_F(SaveImageTest, FailedSaveLeavesTheExistingFileAlone) {
  const fs::path path = folder_ / "graph.png";
  { std::ofstream(path, std::ios::binary) << "previous"; }
  EXPECT_THROW(save_image("definitely not an image", path), ValueError);
  EXPECT_EQ(read_file(path), "previous");
  EXPECT_EQ(files_in_folder(), 1u);

  save_image(sample_png(), path);  // success replaces it
  EXPECT_TRUE(read_file(path).starts_with("\x89PNG"));
  EXPECT_EQ(files_in_folder(), 1u);
}

TEST_F(SaveImageTest, MissingFolderFailsWithoutCreatingAnything) {
  EXPECT_THROW(save_image(sample_png(), folder_ / "absent" / "graph.png"), Error);
  EXPECT_EQ(files_in_folder(), 0u);
}

}  // namespace
}  // namespace norvex::drawing
