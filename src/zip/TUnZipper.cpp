// The reader's settings, its archive stream and the top of an extraction run.
#include "zip/TUnZipper.h"

#include "zip/PosixFiles.h"
#include "zip/ZipFormat.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace quill::zip {

TUnZipper::TUnZipper() = default;

TUnZipper::~TUnZipper() { Reset(false); }

void TUnZipper::setZipName(const std::string& value) {
    if (AsciiLower(value) == AsciiLower(m_zipName)) return; // the directory already read stays
    Reset(false);
    m_zipName = value;
    const auto slash = value.find_last_of('/');
    const auto dot = value.find_last_of('.');
    m_zipBase =
        (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? value.substr(0, dot) : value;
}

void TUnZipper::setDestDir(const std::string& value) {
    m_destDir = value;
    if (!m_destDir.empty() && (m_destDir.back() == '/' || m_destDir.back() == '\\')) m_destDir.pop_back();
}

void TUnZipper::setRootDir(const std::string& value) {
    m_rootDir = value;
    if (!m_rootDir.empty() && m_rootDir.back() != '\\' && m_rootDir.back() != '/') m_rootDir += '\\';
    m_relativePathList.clear();
    if (!m_rootDir.empty()) m_relativePathList.push_back(m_rootDir);
}

void TUnZipper::setSortMode(TZipSortMode value) {
    if (value == m_sortMode) return;
    m_sortMode = value;
    if (m_list) RebuildView();
}

void TUnZipper::Reset(bool badArchive) {
    CloseArchive();
    m_view.reset();
    m_list.reset();
    m_entries.clear();
    m_endCentral = TEndCentral();
    m_totalSize = m_totalDone = 0;
    m_zipIsBad = false;
    m_improperZip = false;
    m_repairing = false;
    m_directoryStamp.reset();
    if (badArchive) {
        m_numberOfDisks = 1;
        setMultiMode(TMultiMode::mmNone);
        m_zipName.clear();
        m_zipBase.clear();
    }
}

void TUnZipper::AdoptDirectory(std::vector<std::unique_ptr<TZipHeaderInfo>> entries, const TEndCentral& end) {
    m_view.reset();
    m_list = std::make_unique<TSortedEntryList>(TZipSortMode::ByNone, TDupeMode::dmError);
    m_entries = std::move(entries);
    for (auto& entry : m_entries) m_list->Add(entry.get());
    m_endCentral = end;
    m_repairing = false;
    m_zipIsBad = false;
    m_improperZip = false;
    m_numberOfDisks = m_currentDisk + 1;
    m_directoryStamp = posix::StampOf(m_zipName);
    RebuildView();
}

void TUnZipper::OpenArchive() {
    if (m_file) return;
    m_file = std::fopen(m_zipName.c_str(), "rb");
    if (!m_file) throw EFOpenError("Cannot open file \"" + m_zipName + "\". " + std::strerror(errno));
    std::setvbuf(m_file, nullptr, _IOFBF, 8192);
}

void TUnZipper::CloseArchive() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
}

int TUnZipper::ShowMessage(int id, const std::string& text, unsigned flags, const std::string& caption) {
    int answer = (flags & MB_YESNO) ? IDNO : IDOK; // no one to ask: the cautious answer
    if (OnHandleMessage) OnHandleMessage(this, id, text, caption, flags, answer);
    return answer;
}

void TUnZipper::CheckCancel() {
    if (!DoProcessMessages) return;
    if (ProcessMessages) ProcessMessages();
    if (m_cancel) {
        m_cancel = false;
        throw EUserCanceled(text::kUserAborted);
    }
    while (m_pause) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        if (ProcessMessages) ProcessMessages();
        if (m_cancel) {
            m_cancel = false;
            throw EUserCanceled(text::kUserAborted);
        }
    }
}

std::string TUnZipper::PartName(std::uint32_t disk) const {
    char number[16];
    if (BlockMode == TBlockMode::bmClassic) {
        std::snprintf(number, sizeof number, ".%3.3u", disk + 1);
        return m_zipBase + number;
    }
    if (disk + 1 >= m_numberOfDisks) return m_zipBase + ".zip";
    std::snprintf(number, sizeof number, ".z%2.2u", disk + 1);
    return m_zipBase + number;
}

void TUnZipper::SwitchDisk(std::uint32_t disk) {
    if (disk == m_currentDisk && m_file) return;
    std::string name = PartName(disk);
    if (OnGetNextDisk) {
        OnGetNextDisk(this, static_cast<int>(disk + 1), name);
    } else if (MultiMode() == TMultiMode::mmSpan) {
        if (ShowMessage(0, "Please insert disk " + std::to_string(disk + 1) + " of the multi-disk set.", MB_OKCANCEL,
                        "") != IDOK)
            name.clear();
    }
    if (name.empty()) throw EUserCanceled(text::kCanceledNewDisk);
    CloseArchive();
    m_file = std::fopen(name.c_str(), "rb");
    if (!m_file) throw EFOpenError("Cannot open file \"" + name + "\". " + std::strerror(errno));
    m_currentDisk = disk;
}

int TUnZipper::UnZip() {
    if (m_destDir == "?") return 0;
    // Targets are DestDir + "/" + name: without a folder they would land in the root folder.
    if (m_destDir.empty()) throw EZipperException(text::kNoDestDir);
    struct BusyGuard {
        TUnZipper& z;
        bool was;
        explicit BusyGuard(TUnZipper& zipper) : z(zipper), was(zipper.m_busy) {
            z.m_busy = true;
            z.m_cancel = false;
        }
        ~BusyGuard() {
            z.m_busy = was;
            z.m_cancel = false;
        }
    } busy(*this);

    // Read the directory, retrying an incomplete archive while a handler may change the
    // mode; then once more, so that an archive still incomplete reaches the caller.
    for (;;) {
        try {
            ReadZip();
            break;
        } catch (const EIncompleteZip&) {
            CloseArchive();
            if (!OnInCompleteZip) break;
        } catch (...) {
            Reset(false);
            throw;
        }
    }
    try {
        ReadZip();
    } catch (const EIncompleteZip&) {
        CloseArchive();
        throw;
    } catch (...) {
        Reset(false);
        throw;
    }
    const int count = ExtractRun();
    if (!KeepZipOpen) CloseArchive();
    return count;
}

} // namespace quill::zip
