#pragma once

#include <functional>

class TBKMainForm;

// Where the Download, Upload and Compare commands end: the transfer windows register here
// (in main), so the shell does not depend on them. Each hook creates its window with the main
// window as owner, shows it modally, frees it and returns its modal result. Until a window is
// registered a placeholder opens and closes at once with mrAbort, which changes nothing.
namespace TransferWindows {

using DownloadWindow = std::function<int(TBKMainForm &owner)>;
// `compare` is true for "Upload and compare..." (the image's CompareMode is set as well).
using UploadWindow = std::function<int(TBKMainForm &owner, bool compare)>;

void setDownload(DownloadWindow window);
void setUpload(UploadWindow window);

int openDownload(TBKMainForm &owner);
int openUpload(TBKMainForm &owner, bool compare);

} // namespace TransferWindows
