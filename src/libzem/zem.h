/* libzem: a patched view of a raw CD image.
 *
 * A zem_view is an image (one file, or a cue sheet's track files as one
 * image) seen through one or more ZEM patches applied in order, without a
 * byte of any file being written: reads give exactly what Mavrin would leave
 * in a copy of the image after applying the patches one after another.
 * Usable from C and C++; no exception, allocation failure or signal crosses
 * the API. The reference is the manual page zem_view(3).
 */
#ifndef ZEM_H
#define ZEM_H

#include <stddef.h>
#include <stdint.h>

#if defined(ZEM_BUILDING) && defined(__GNUC__)
#define ZEM_API __attribute__((visibility("default")))
#else
#define ZEM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header; zem_version_number() gives the library's. */
#define ZEM_VERSION_MAJOR 1
#define ZEM_VERSION_MINOR 1
#define ZEM_VERSION_PATCH 0
#define ZEM_VERSION_NUMBER \
    ((ZEM_VERSION_MAJOR << 16) | (ZEM_VERSION_MINOR << 8) | ZEM_VERSION_PATCH)

/* Error codes: 0 is success, every error is positive. */
enum zem_error {
    ZEM_OK = 0,
    ZEM_EINVAL = 1,       /* an argument is not valid */
    ZEM_ENOMEM = 2,       /* out of memory */
    ZEM_EIMAGE = 3,       /* the image cannot be opened: missing, not a regular
                             file or block device, a cue sheet that does not
                             parse, a track file missing */
    ZEM_EPATCH = 4,       /* a patch cannot be opened or read */
    ZEM_ENOTZEM = 5,      /* a patch is not a ZEM file */
    ZEM_EMETHOD = 6,      /* a patch has an unknown encoding method */
    ZEM_EDAMAGED = 7,     /* a patch is damaged */
    ZEM_EWRONGSIZE = 8,   /* a version 2.0 patch stores another image size */
    ZEM_EWRONGIMAGE = 9,  /* a version 2.0 patch's validation block differs */
    ZEM_EIO = 10          /* reading the image or a patch failed, or a file
                             became shorter after the view was opened */
};

/* Flags of zem_view_open(). */
#define ZEM_ANYIMAGE 1u   /* apply version 2.0 patches to whatever image */

typedef struct zem_view zem_view;

/* Opens IMAGE read-only and checks the NPATCHES patches (0 or more, at
 * most 255), to be applied in the order given. Returns the view, or NULL
 * with *error set (when error is not NULL). */
ZEM_API zem_view *zem_view_open(const char *image, const char *const *patches, int npatches,
                                unsigned flags, int *error);
/* zem_view_open(), and on failure *failed (when not NULL) gets the index of
 * the patch at fault, or -1 when none is (the image, an argument, memory). */
ZEM_API zem_view *zem_view_open_ex(const char *image, const char *const *patches,
                                   int npatches, unsigned flags, int *error, int *failed);
/* zem_view_open_ex(), and WHY (when not NULL and WHYLEN is not 0) gets the
 * reason in words, NUL-terminated and cut to WHYLEN - 1 bytes: for
 * ZEM_EIMAGE the file at fault and what is wrong with it ("dir/b.bin,
 * listed in dir/game.cue, is missing"), for any other error
 * zem_strerror()'s message; "" when the view opens. */
ZEM_API zem_view *zem_view_open_why(const char *image, const char *const *patches,
                                    int npatches, unsigned flags, int *error, int *failed,
                                    char *why, size_t whylen);
ZEM_API void zem_view_close(zem_view *view);

/* The size of the patched image. */
ZEM_API int64_t zem_view_size(const zem_view *view);

/* Reads up to LEN patched bytes at OFFSET into BUF. Returns the count read
 * (short only at the end, 0 at or past it), or -1 with the error in
 * zem_view_error(). Several threads may read one view at once. */
ZEM_API int64_t zem_view_read(zem_view *view, void *buf, size_t len, int64_t offset);

/* The error of the calling thread's last failed zem_view_read() on VIEW,
 * ZEM_OK when it has had none. */
ZEM_API int zem_view_error(const zem_view *view);

/* The image's files as windows of the patched image: one for an image
 * file, one per track file for a cue sheet (the last one longer when a
 * patch lengthens the image). zem_view_file() returns ZEM_OK, or ZEM_EINVAL
 * when I is out of range; NAME, FIRST and SIZE may each be NULL. The name
 * stays valid until the view is closed. */
ZEM_API int zem_view_nfiles(const zem_view *view);
ZEM_API int zem_view_file(const zem_view *view, int i, const char **name, int64_t *first,
                          int64_t *size);

/* A message for an error code ("the patch is damaged"). */
ZEM_API const char *zem_strerror(int error);

/* The library's version, as ZEM_VERSION_NUMBER. */
ZEM_API unsigned zem_version_number(void);

#ifdef __cplusplus
}
#endif

#endif
