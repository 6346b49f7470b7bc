// make_sample FILE: writes a small download image of three records (numbers
// 0, 1, 2, count 3) for trying stbflash against stbsim.

#include <cstdio>

#include "sim/image_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample FILE\n");
    return 2;
  }
  const std::size_t sizes[] = {1024, 700, 93};
  const stb::sim::Image image = stb::sim::numbered_image(3, sizes);
  if (!stb::sim::write_file(argv[1], stb::sim::image_bytes(image))) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
