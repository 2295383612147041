// pcreport.exe's version resource, read the way Explorer's Properties read
// it: the translation the file announces, then its strings and fixed numbers.
//
//   tst_version_resource_win.exe PATH_OF_PCREPORT_EXE

#include "win_check.h"

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring widen(const char *text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(wide.size() - 1);
    return wide;
}

/// A string of the block under `prefix`, or "<missing>".
std::string stringValue(const std::vector<char> &block, const std::wstring &prefix,
                        const wchar_t *name)
{
    void *value = nullptr;
    UINT length = 0;
    const std::wstring path = prefix + name;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || value == nullptr)
        return "<missing>";
    return wincheck::toUtf8(static_cast<const wchar_t *>(value));
}

/// The project's "major.minor[.patch[.tweak]]" as the four numbers of a
/// FILEVERSION, missing ones 0.
std::vector<unsigned> versionNumbers(const std::string &version)
{
    std::vector<unsigned> numbers;
    std::istringstream parts(version);
    std::string part;
    while (std::getline(parts, part, '.'))
        numbers.push_back(static_cast<unsigned>(std::stoul(part)));
    numbers.resize(4, 0);
    return numbers;
}

} // namespace

int main(int argc, char **argv)
{
    if (!CHECK(argc == 2, "started with the path of pcreport.exe"))
        return wincheck::finish("tst_version_resource_win");
    const std::wstring program = widen(argv[1]);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    std::vector<char> block(size);
    const bool read = size > 0 && GetFileVersionInfoW(program.c_str(), 0, size, block.data());
    if (!CHECK(read, "pcreport.exe carries a version resource",
               "error " + std::to_string(GetLastError())))
        return wincheck::finish("tst_version_resource_win");

    struct Translation
    {
        WORD language;
        WORD codePage;
    };
    void *value = nullptr;
    UINT length = 0;
    const bool translated =
        VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
        length >= sizeof(Translation);
    const Translation translation =
        translated ? *static_cast<const Translation *>(value) : Translation{0, 0};
    CHECK(translated && translation.language == 0x409 && translation.codePage == 1200,
          "it announces US English in Unicode",
          wincheck::hex(translation.language) + " " + std::to_string(translation.codePage));

    wchar_t prefix[64];
    swprintf(prefix, 64, L"\\StringFileInfo\\%04x%04x\\", translation.language,
             translation.codePage);
    const struct
    {
        const wchar_t *name;
        std::string want;
    } strings[] = {
        {L"ProductName", "pcreport"},          {L"FileVersion", PCREPORT_VERSION},
        {L"ProductVersion", PCREPORT_VERSION}, {L"OriginalFilename", "pcreport.exe"},
        {L"InternalName", "pcreport"},
    };
    for (const auto &expected : strings) {
        const std::string got = stringValue(block, prefix, expected.name);
        CHECK(got == expected.want, wincheck::toUtf8(expected.name) + " is " + expected.want,
              "got " + got);
    }
    const std::string description = stringValue(block, prefix, L"FileDescription");
    CHECK(description.rfind("pcreport", 0) == 0, "FileDescription names the program",
          "got " + description);
    const std::string copyright = stringValue(block, prefix, L"LegalCopyright");
    CHECK(copyright.find("pcreport developers") != std::string::npos &&
              copyright.find("MIT") != std::string::npos,
          "LegalCopyright names the authors and the licence", "got " + copyright);

    const bool fixedRead =
        VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO);
    VS_FIXEDFILEINFO fixed{};
    if (fixedRead)
        fixed = *static_cast<const VS_FIXEDFILEINFO *>(value);
    const std::vector<unsigned> want = versionNumbers(PCREPORT_VERSION);
    const DWORD wantMs = MAKELONG(want[1], want[0]);
    const DWORD wantLs = MAKELONG(want[3], want[2]);
    CHECK(fixedRead && fixed.dwSignature == 0xFEEF04BD && fixed.dwFileVersionMS == wantMs &&
              fixed.dwFileVersionLS == wantLs && fixed.dwProductVersionMS == wantMs &&
              fixed.dwProductVersionLS == wantLs,
          "the fixed file and product versions are " PCREPORT_VERSION,
          wincheck::hex(fixed.dwFileVersionMS) + " " + wincheck::hex(fixed.dwFileVersionLS));
    CHECK(fixed.dwFileType == VFT_APP && fixed.dwFileFlags == 0,
          "it is an application, a plain release build",
          wincheck::hex(fixed.dwFileType) + " " + wincheck::hex(fixed.dwFileFlags));
    return wincheck::finish("tst_version_resource_win");
}
