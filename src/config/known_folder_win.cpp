#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include "config/known_folder.h"

namespace vantle {

namespace {

// The buffer SHGetKnownFolderPath hands out, freed on every path, including failure.
class CoTaskString {
  public:
    CoTaskString() = default;
    CoTaskString(const CoTaskString&) = delete;
    CoTaskString& operator=(const CoTaskString&) = delete;
    ~CoTaskString() { CoTaskMemFree(text_); }
    PWSTR* out() { return &text_; }
    [[nodiscard]] PCWSTR get() const { return text_; }

  private:
    PWSTR text_ = nullptr;
};

const KNOWNFOLDERID& folder_id(KnownFolder folder) {
    switch (folder) {
        case KnownFolder::kPictures:
            return FOLDERID_Pictures;
        case KnownFolder::kProfile:
            return FOLDERID_Profile;
        case KnownFolder::kRoamingAppData:
            break;
    }
    return FOLDERID_RoamingAppData;
}

}  // namespace

std::optional<std::filesystem::path> known_folder(KnownFolder folder) {
    CoTaskString text;
    const HRESULT result = SHGetKnownFolderPath(folder_id(folder), 0, nullptr, text.out());
    if (FAILED(result) || text.get() == nullptr) {
        return std::nullopt;
    }
    return std::filesystem::path(std::wstring(text.get()));
}

}  // namespace vantle
