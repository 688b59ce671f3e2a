// Reads a program's resources as Windows does, for the release tests:
//   resinfo version PATH    "fixed\t<file version>\t<product version>", then
//                           "<name>\t<value>" for each string of the version
//                           resource's first translation
//   resinfo manifest PATH   the embedded application manifest, as stored
//   resinfo security PATH   a file's or folder's owner and DACL, as SDDL
// Exits 1 (with "error <what> <code>") when the resource is missing.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <stdio.h>
#include <string.h>

static int Fail(const char *what)
{
    printf("error %s %lu\n", what, GetLastError());
    return 1;
}

static int PrintVersion(const char *path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return Fail("GetFileVersionInfoSize");
    static char data[65536];
    if (size > sizeof data || !GetFileVersionInfoA(path, 0, size, data))
        return Fail("GetFileVersionInfo");

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueA(data, "\\", (void **)&fixed, &length) || length < sizeof *fixed)
        return Fail("fixed");
    printf("fixed\t%u.%u.%u.%u\t%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
           (unsigned)LOWORD(fixed->dwFileVersionLS), (unsigned)HIWORD(fixed->dwProductVersionMS),
           (unsigned)LOWORD(fixed->dwProductVersionMS), (unsigned)HIWORD(fixed->dwProductVersionLS),
           (unsigned)LOWORD(fixed->dwProductVersionLS));

    WORD *translation = NULL;
    if (!VerQueryValueA(data, "\\VarFileInfo\\Translation", (void **)&translation, &length) || length < 4)
        return Fail("translation");
    static const char *const names[] = {"CompanyName",    "FileDescription",  "FileVersion", "LegalCopyright",
                                        "OriginalFilename", "ProductName", "ProductVersion"};
    for (const char *name : names) {
        char query[128];
        snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], name);
        char *value = NULL;
        if (VerQueryValueA(data, query, (void **)&value, &length) && value != NULL)
            printf("%s\t%s\n", name, value);
    }
    return 0;
}

static int PrintManifest(const char *path)
{
    HMODULE module = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == NULL)
        return Fail("LoadLibraryEx");
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));   // RT_MANIFEST
    HGLOBAL loaded = found != NULL ? LoadResource(module, found) : NULL;
    const char *text = loaded != NULL ? (const char *)LockResource(loaded) : NULL;
    if (text == NULL)
        return Fail("manifest");
    fwrite(text, 1, SizeofResource(module, found), stdout);
    return 0;
}

static int PrintSecurity(const char *path)
{
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR sd = NULL;
    char *text = NULL;
    DWORD result = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, what, NULL, NULL, NULL, NULL, &sd);
    if (result != ERROR_SUCCESS) {
        SetLastError(result);
        return Fail("GetNamedSecurityInfo");
    }
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, what, &text, NULL))
        return Fail("ConvertSecurityDescriptorToStringSecurityDescriptor");
    printf("%s\n", text);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "version") == 0)
        return PrintVersion(argv[2]);
    if (argc == 3 && strcmp(argv[1], "manifest") == 0)
        return PrintManifest(argv[2]);
    if (argc == 3 && strcmp(argv[1], "security") == 0)
        return PrintSecurity(argv[2]);
    fprintf(stderr, "usage: resinfo version|manifest|security PATH\n");
    return 2;
}
