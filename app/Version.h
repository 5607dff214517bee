// What the About box and --version say of the program.
#pragma once

#include <string>

/// The version the About box shows, as the original program numbered its releases.
inline constexpr const char* kProductVersion = "6.A00-04";
/// The version the package and the man pages carry (the project's, from CMake).
inline constexpr const char* kPackageVersion = KELVARO_PACKAGE_VERSION;
/// The licence, as an SPDX identifier and in words.
inline constexpr const char* kLicenceId = "Apache-2.0";
inline constexpr const char* kLicenceText = "Licensed under the Apache License, Version 2.0 (Apache-2.0).";

/// `--version`: "PROGRAM 6.0.4 (6.A00-04)" and the licence, one line each.
inline std::string VersionText(const std::string& program)
{
    return program + " " + kPackageVersion + " (" + kProductVersion + ")\n" + kLicenceText + "\n";
}
