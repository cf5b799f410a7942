/*
 * pe-checksum: writes the image checksum into a PE file's optional header,
 * as the system requires of kernel-mode drivers (the GNU linker leaves it 0).
 * A build-host tool.
 *
 *   pe-checksum FILE
 *
 * The checksum is the 16-bit one's-complement-style sum of the file's
 * little-endian 16-bit words (the CheckSum field counted as 0, an odd last
 * byte padded with 0), folded to 16 bits, plus the file's length.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t Read32(const unsigned char *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pe-checksum FILE\n");
    return 2;
  }
  FILE *f = fopen(argv[1], "r+b");
  if (!f) {
    perror(argv[1]);
    return 1;
  }
  unsigned char *image = NULL;
  long size = 0;
  if (fseek(f, 0, SEEK_END) != 0 || (size = ftell(f)) <= 0 || fseek(f, 0, SEEK_SET) != 0 ||
      !(image = calloc((size_t)size + 1, 1)) || fread(image, 1, (size_t)size, f) != (size_t)size) {
    fprintf(stderr, "pe-checksum: cannot read %s\n", argv[1]);
    free(image);
    fclose(f);
    return 1;
  }
  /* The CheckSum field: 64 bytes into the optional header, which follows the
   * "PE\0\0" signature and the 20-byte file header (PE32 and PE32+ alike).
   * The headers up to it and 4 bytes past it (96 bytes from the signature)
   * must lie inside the file; the subtraction is made only where it cannot
   * wrap. */
  uint32_t pe = size >= 0x40 ? Read32(image + 0x3C) : 0;
  if (size < 0x40 || image[0] != 'M' || image[1] != 'Z' || (uint32_t)size < 96 ||
      pe > (uint32_t)size - 96 || memcmp(image + pe, "PE\0\0", 4) != 0) {
    fprintf(stderr, "pe-checksum: %s is not a PE image\n", argv[1]);
    free(image);
    fclose(f);
    return 1;
  }
  uint32_t field = pe + 4 + 20 + 64;
  memset(image + field, 0, 4);
  uint32_t sum = 0;
  for (long i = 0; i < size; i += 2) {
    sum += (uint32_t)image[i] | (uint32_t)image[i + 1] << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum += (uint32_t)size;
  unsigned char out[4] = {(unsigned char)sum, (unsigned char)(sum >> 8), (unsigned char)(sum >> 16),
                          (unsigned char)(sum >> 24)};
  free(image);
  int written = fseek(f, (long)field, SEEK_SET) == 0 && fwrite(out, 1, 4, f) == 4;
  if (fclose(f) != 0 || !written) {
    fprintf(stderr, "pe-checksum: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
