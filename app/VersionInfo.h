// The program's version block: the texts the build writes into the program file
// (cmake/VersionBlock.cmake), read back from the file without running it.
#pragma once

#include <array>
#include <string>

namespace folimo {

// The twelve texts of a version block, in the block's order. A text the block lacks is
// empty.
struct FileVersionInfo {
    std::wstring comments;
    std::wstring companyName;
    std::wstring fileDescription;
    std::wstring fileVersion;
    std::wstring internalName;
    std::wstring legalCopyright;
    std::wstring legalTrademarks;
    std::wstring originalFilename;
    std::wstring productName;
    std::wstring productVersion;
    std::wstring privateBuild;
    std::wstring specialBuild;

    // The names the block stores the texts under, and the members they fill.
    static constexpr std::array<const char*, 12> kNames = {
        "Comments",     "CompanyName",    "FileDescription", "FileVersion",
        "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
        "ProductName",  "ProductVersion", "PrivateBuild",    "SpecialBuild"};
    static constexpr std::array<std::wstring FileVersionInfo::*, 12> kMembers = {
        &FileVersionInfo::comments,        &FileVersionInfo::companyName,
        &FileVersionInfo::fileDescription, &FileVersionInfo::fileVersion,
        &FileVersionInfo::internalName,    &FileVersionInfo::legalCopyright,
        &FileVersionInfo::legalTrademarks, &FileVersionInfo::originalFilename,
        &FileVersionInfo::productName,     &FileVersionInfo::productVersion,
        &FileVersionInfo::privateBuild,    &FileVersionInfo::specialBuild};
};

// Fills `info` from the version block of the program file at `path`. False, with `info`
// cleared, when the file cannot be read, is no program file, has no block, or its block
// has no language entry.
bool ReadVersionInfo(const std::wstring& path, FileVersionInfo& info);

// "1, 2, 0, 3" as versions are compared and shown: every "," a ".", every " " removed.
std::wstring ComparableVersion(const std::wstring& fileVersion);

// The comparable version of the program file at `path`; empty when it has no block.
std::wstring ComparableVersionOf(const std::wstring& path);

// The running program's own file. Any thread.
std::wstring RunningProgramPath();

} // namespace folimo
