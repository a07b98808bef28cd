// Small POSIX file helpers shared by the server's account, preferences and log code.
// Failures raise the mapped system error.
#pragma once

#include <string>
#include <string_view>

#include "framework/types.h"

namespace cv::diskio {

bool IsFolder(const std::string& path);
bool IsFile(const std::string& path);
// Creates the folder; raises (4, 115) when the name is taken.
void MakeFolder(const std::string& path);
// The first max bytes of a file (fewer when the file is shorter).
Bytes ReadUpTo(const std::string& path, std::size_t max);
// Replaces the file's whole content at once: a crash leaves either the old or the new
// content, never a mix (temporary file in the same folder, flushed, then renamed).
void SaveWhole(const std::string& path, ByteView data);
// Appends to a file, creating it when missing; header is written first when the file is
// empty. One write call, so concurrent readers never see half a record.
void AppendWithHeader(const std::string& path, std::string_view header, std::string_view record);
// Removes a file; raises when it cannot.
void RemoveFile(const std::string& path);
void RemoveFolder(const std::string& path);
// The name, in the folder, that equals name ignoring ASCII case (an exact match first);
// empty when none.
std::string FindNameIgnoringCase(const std::string& folder, std::string_view name);

std::string Join(const std::string& folder, std::string_view name);

}  // namespace cv::diskio
