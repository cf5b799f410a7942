/* A stand-in for the "zlib.DLL" builds that programs ship, to test the
 * library against their ways:
 *  - uncompress, on a failure, leaves the output length as it was passed in
 *    (as older builds did) instead of the count it really produced;
 *  - compress2 fails without being out of room for sale data that starts
 *    with "<falha-memoria>" (Z_MEM_ERROR) or "<falha-fluxo>" (Z_STREAM_ERROR);
 *  - in the 32-bit Windows build both use the stdcall convention.
 * Otherwise they do what zlib does (natively: the system's zlib, loaded at
 * run time; on Windows: zlib linked in). */
#include <string.h>

#if defined(_WIN32)
#include <zlib.h>
#if defined(__i386__)
#define OLDZ_CALL __stdcall
#else
#define OLDZ_CALL
#endif
#define OLDZ_EXPORT
typedef int(ZEXPORT *Compress2Fn)(Bytef *, uLongf *, const Bytef *, uLong, int);
typedef int(ZEXPORT *UncompressFn)(Bytef *, uLongf *, const Bytef *, uLong);
static Compress2Fn real_compress2(void) { return compress2; }
static UncompressFn real_uncompress(void) { return uncompress; }
#define COMPRESS2 test_compress2
#define UNCOMPRESS test_uncompress
#else
#include <dlfcn.h>
typedef unsigned char Bytef;
typedef unsigned long uLong;
typedef unsigned long uLongf;
#define Z_MEM_ERROR (-4)
#define Z_STREAM_ERROR (-2)
#define Z_OK 0
#define OLDZ_CALL
#define OLDZ_EXPORT __attribute__((visibility("default")))
typedef int (*Compress2Fn)(Bytef *, uLongf *, const Bytef *, uLong, int);
typedef int (*UncompressFn)(Bytef *, uLongf *, const Bytef *, uLong);
static void *real_zlib(void) {
  static void *handle;
  if (!handle) handle = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
  return handle;
}
static Compress2Fn real_compress2(void) { return (Compress2Fn)dlsym(real_zlib(), "compress2"); }
static UncompressFn real_uncompress(void) { return (UncompressFn)dlsym(real_zlib(), "uncompress"); }
#define COMPRESS2 compress2
#define UNCOMPRESS uncompress
#endif

static int starts_with(const Bytef *source, uLong length, const char *prefix) {
  size_t n = strlen(prefix);
  return length >= n && memcmp(source, prefix, n) == 0;
}

OLDZ_EXPORT int OLDZ_CALL COMPRESS2(Bytef *dest, uLongf *destLen, const Bytef *source,
                                    uLong sourceLen, int level) {
  if (starts_with(source, sourceLen, "<falha-memoria>")) return Z_MEM_ERROR;
  if (starts_with(source, sourceLen, "<falha-fluxo>")) return Z_STREAM_ERROR;
  return real_compress2()(dest, destLen, source, sourceLen, level);
}

OLDZ_EXPORT int OLDZ_CALL UNCOMPRESS(Bytef *dest, uLongf *destLen, const Bytef *source,
                                     uLong sourceLen) {
  uLongf room = *destLen;
  int rc = real_uncompress()(dest, destLen, source, sourceLen);
  if (rc != Z_OK) *destLen = room; /* what older builds left there */
  return rc;
}
