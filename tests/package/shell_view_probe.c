/* What the Windows shell shows of the installed program, for the .msi test
 * under wine: the kelvo:// scheme's icon as Explorer finds it from
 * HKEY_CLASSES_ROOT\kelvo\DefaultIcon ("<path>",<n>, n a zero-based index
 * into the file's icon groups), and the file's version as its properties
 * show it. Prints, one line each:
 *
 *   value <the DefaultIcon value>
 *   groups <number of icon groups in the file>
 *   index <i> large <w>x<h> small <w>x<h>      for 0 and for <n>
 *   version file <a.b.c.d> product <a.b.c.d>
 *
 * and ends with 0; on a failure it prints "error ..." and ends with 1.
 * Built by the test with mingw-w64:
 *   x86_64-w64-mingw32-gcc-posix -o probe.exe shell_view_probe.c -lgdi32 -lversion
 */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void print_size(const char *name, HICON icon) {
    ICONINFO info;
    BITMAP bitmap;
    if (!GetIconInfo(icon, &info)) {
        printf(" %s unreadable", name);
        return;
    }
    if (GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap)) {
        printf(" %s %ldx%ld", name, (long)bitmap.bmWidth, (long)bitmap.bmHeight);
    } else {
        printf(" %s unreadable", name);
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
}

static int extract(const char *path, int index) {
    HICON large = NULL, small = NULL;
    UINT got = ExtractIconExA(path, index, &large, &small, 1);
    if (got == 0 || !large || !small) {
        printf("error index %d: no icon (ExtractIconExA gave %u)\n", index, got);
        return 1;
    }
    printf("index %d", index);
    print_size("large", large);
    print_size("small", small);
    printf("\n");
    DestroyIcon(large);
    DestroyIcon(small);
    return 0;
}

static int version(const char *path) {
    DWORD handle = 0, size = GetFileVersionInfoSizeA(path, &handle);
    char *data = size ? malloc(size) : NULL;
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (!data || !GetFileVersionInfoA(path, 0, size, data) ||
        !VerQueryValueA(data, "\\", (void **)&fixed, &length) || length < sizeof *fixed) {
        printf("error no version information (%lu)\n", (unsigned long)GetLastError());
        free(data);
        return 1;
    }
    printf("version file %lu.%lu.%lu.%lu product %lu.%lu.%lu.%lu\n",
           fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
           fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
           fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF,
           fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF);
    free(data);
    return 0;
}

int main(void) {
    char value[MAX_PATH + 16];
    LONG size = sizeof value;
    LONG status = RegQueryValueA(HKEY_CLASSES_ROOT, "kelvo\\DefaultIcon", value, &size);
    if (status != ERROR_SUCCESS) {
        printf("error reading HKEY_CLASSES_ROOT\\kelvo\\DefaultIcon (%ld)\n", (long)status);
        return 1;
    }
    printf("value %s\n", value);
    char *comma = strrchr(value, ',');
    if (value[0] != '"' || !comma || comma == value + 1 || comma[-1] != '"') {
        printf("error the value is not \"<path>\",<index>\n");
        return 1;
    }
    comma[-1] = '\0';
    const char *path = value + 1;
    int index = atoi(comma + 1);
    printf("groups %u\n", ExtractIconExA(path, -1, NULL, NULL, 0));
    int failed = extract(path, 0);
    if (index != 0) failed |= extract(path, index);
    failed |= version(path);
    return failed;
}
