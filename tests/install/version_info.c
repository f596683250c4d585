/* Prints the version resource of a DLL as Windows programs (and Explorer's
 * file properties) read it with GetFileVersionInfo: the fixed file and
 * product versions and the strings of the resource's first language. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static void PrintString(void* info, const char* block, const char* name)
{
    char path[128];
    char* text = NULL;
    UINT length = 0;
    snprintf(path, sizeof path, "\\StringFileInfo\\%s\\%s", block, name);
    if (VerQueryValueA(info, path, (void**)&text, &length) && length > 0)
        printf("%s %s\n", name, text);
    else
        printf("%s missing\n", name);
}

int main(int argc, char** argv)
{
    static const char* const names[] = {"ProductName", "ProductVersion", "FileDescription", "FileVersion",
                                         "OriginalFilename"};
    DWORD unused = 0, size;
    void* info;
    VS_FIXEDFILEINFO* fixed = NULL;
    WORD* translation = NULL;
    UINT length = 0;
    char block[16];
    size_t i;

    if (argc != 2) {
        fprintf(stderr, "usage: version_info DLL\n");
        return 2;
    }
    size = GetFileVersionInfoSizeA(argv[1], &unused);
    info = size ? malloc(size) : NULL;
    if (!info || !GetFileVersionInfoA(argv[1], 0, size, info)) {
        printf("%s has no version resource (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    if (!VerQueryValueA(info, "\\", (void**)&fixed, &length) || length < sizeof *fixed ||
        fixed->dwSignature != VS_FFI_SIGNATURE) {
        printf("no fixed version information\n");
        return 1;
    }
    printf("file version %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    printf("product version %u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
           HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    printf("file type %s\n", fixed->dwFileType == VFT_DLL ? "DLL" : "not a DLL");
    if (!VerQueryValueA(info, "\\VarFileInfo\\Translation", (void**)&translation, &length) || length < 4) {
        printf("no translation\n");
        return 1;
    }
    snprintf(block, sizeof block, "%04x%04x", translation[0], translation[1]);
    for (i = 0; i < sizeof names / sizeof names[0]; ++i)
        PrintString(info, block, names[i]);
    free(info);
    return 0;
}
