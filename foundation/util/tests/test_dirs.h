// File helpers of the util tests; temporary folders come from testsupport.
#pragma once
#include <string>

#include "testsupport/temp_dir.h"

using testsupport::TempDir;

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
