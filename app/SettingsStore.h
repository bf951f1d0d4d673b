// The program's stored settings: the conversion settings moved between the store
// (RegistryStore) and the engine's settings record, and the program's own values.
// Every read applies the value's default, so an empty store is never an error; writes
// that fail are ignored where the result says nothing else. Any thread may call; the
// program calls from its user-interface thread, never while a conversion reads the
// record.
#pragma once

#include <folimo/Folimo.h>

#include <string>
#include <vector>

namespace folimo {

// The default of a stored number and the values it may take (least and most included):
// one stored outside them loads as the default. The settings window offers the same
// range. Names without a range of their own (flags, colours, positions) take any int and
// default to 0.
struct StoredRange {
    int defaultValue;
    int least;
    int most;
};
StoredRange StoredNumberRange(const wchar_t* name);

// Fills the record from the store (text recognition's languages only while "RecognizeText"
// is on: an empty list recognises nothing), then appends a text watermark (it gets index 0 on a
// fresh record) and an image watermark (index 1), filled from the store too. Call it
// once per record: every call appends two more. Returns 1 (0 for a null record).
int LoadEngineSettings(IFolimoSettings* settings);

// Writes the record's values back. The right and bottom margins are not stored (the
// left and top ones stand for them) and neither is the text watermark's angle.
// Watermark 0 is stored when it is a text watermark and watermark 1 when it is an
// image watermark. Empty text languages switch "RecognizeText" off and keep the stored
// languages, so that switching recognition on again brings them back. Returns 1 even when the store
// cannot be written, as the record keeps its values for this run (0 for a null record).
int SaveEngineSettings(IFolimoSettings* settings);

// Tesseract's names of recognition languages joined by '+' ("eng+chi_sim"): letters,
// digits and '_', each name with a letter. True for nothing else, empty included.
bool IsTextLanguageList(const std::wstring& text);

// The languages recognised when none are chosen: Chinese and English for a Chinese
// interface (`interfaceLanguage` as ChooseInterfaceLanguage names it), English otherwise.
std::wstring DefaultTextLanguages(const std::wstring& interfaceLanguage);
// The default for the interface language the desktop's languages choose.
std::wstring DefaultTextLanguages();

// "TextLanguages": the languages chosen for recognition, kept while recognition is off.
// The default when absent or not a language list.
std::wstring GetChosenTextLanguages();
int SetChosenTextLanguages(const std::wstring& languages); // 1 when written, 0 on failure

// The folder PDFs go to when no other is chosen: "PDFPath", or when that is absent or
// empty the user's documents folder followed by Velmar/PDF. Never empty; not created.
std::wstring GetPdfFolder();
int SetPdfFolder(const std::wstring& folder); // 1 when written, 0 on failure

// "ShowAD": 1 shows the advertisement panel of the main window (the default).
int GetShowAd();
void SetShowAd(int show);

// "MoveItemReSort", default 1; the image list keeps its order when this is 0.
int GetMoveItemReSort();
int SetMoveItemReSort(int value); // 1

// "AddImageDirPath": the folder last used to add images, empty at first.
std::wstring GetAddImageFolder();
int SetAddImageFolder(const std::wstring& folder); // 1 when written, 0 on failure

// "UpdateCheckDate": the start-up update check runs while today's date, formatted
// "YYYY/MM/DD", ranks below it. Empty (no check) unless someone stores one.
std::wstring GetUpdateCheckDate();

// "UpdateServer": where the update query and downloads go, a host name optionally
// followed by ":port" (port 80 without one). kDefaultUpdateServer when absent or empty.
inline constexpr const wchar_t* kDefaultUpdateServer = L"www.velmar.com";
std::wstring GetUpdateServer();
int SetUpdateServer(const std::wstring& address); // 1 when written, 0 on failure

// "UpdateDownloadHosts": hosts besides the update server's own that installers may be
// downloaded from (over https only), separated by ";" or blanks. Empty at first.
std::vector<std::wstring> GetUpdateDownloadHosts();
int SetUpdateDownloadHosts(const std::wstring& hosts); // 1 when written, 0 on failure

} // namespace folimo
