/* A C program that knows libzem only through zem.h: the view of IMAGE
 * through PATCH must read as EXPECTED, the header's version must be the
 * library's, and a refusal must carry its code (and its reason in words). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zem.h>

static int fail(const char *what)
{
    fprintf(stderr, "view_c: %s\n", what);
    return 1;
}

int main(int argc, char **argv)
{
    const char *patches[1];
    unsigned char *want, buf[1000];
    long wantlen;
    int64_t at, n;
    int error = -1, failed = -2;
    zem_view *v;
    FILE *f;

    if (argc != 4) return fail("usage: view_c IMAGE PATCH EXPECTED");
    if (zem_version_number() != ZEM_VERSION_NUMBER) return fail("version differs");
    f = fopen(argv[3], "rb");
    if (!f || fseek(f, 0, SEEK_END) != 0 || (wantlen = ftell(f)) < 0) return fail("expected");
    rewind(f);
    want = malloc((size_t)wantlen + 1);
    if (!want || fread(want, 1, (size_t)wantlen, f) != (size_t)wantlen) return fail("expected");
    fclose(f);

    patches[0] = argv[3];   /* not a ZEM file */
    if (zem_view_open_ex(argv[1], patches, 1, 0, &error, &failed) || error != ZEM_ENOTZEM ||
        failed != 0)
        return fail("a file that is not a patch was not refused as such");
    if (zem_view_open_why("/nonexistent/zem.bin", NULL, 0, 0, &error, &failed, (char *)buf,
                          sizeof buf) || error != ZEM_EIMAGE ||
        strcmp((char *)buf, "/nonexistent/zem.bin is missing") != 0)
        return fail("a missing image was not refused in words");
    patches[0] = argv[2];
    v = zem_view_open(argv[1], patches, 1, 0, &error);
    if (!v) return fail(zem_strerror(error));
    if (zem_view_size(v) != wantlen || zem_view_nfiles(v) != 1) return fail("size");
    for (at = 0; (n = zem_view_read(v, buf, sizeof buf, at)) > 0; at += n)
        if (memcmp(buf, want + at, (size_t)n) != 0) return fail("bytes differ");
    if (n < 0 || at != wantlen) return fail("short");
    if (zem_view_read(v, buf, 1, -1) != -1 || zem_view_error(v) != ZEM_EINVAL)
        return fail("a negative offset was read");
    zem_view_close(v);
    free(want);
    return 0;
}
