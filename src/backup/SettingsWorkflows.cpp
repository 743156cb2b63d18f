#include "backup/SettingsWorkflows.h"

#include "backup/DeleteFolderTree.h"
#include "backup/RegistryKeyFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quill::backup {
namespace {

// The folder of a path, without a final "/".
std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void ProcessMessages(zip::TZipper& zipper) {
    if (zipper.ProcessMessages) zipper.ProcessMessages();
}

// The settings key whose hive an entry holds: its file name, without the folders it was
// stored under and without regard to ASCII case, is the hive's; -1 for any other entry.
int HiveOf(const zip::TZipHeaderInfo& entry) {
    if (entry.IsDirectory()) return -1;
    std::string name = entry.FileName;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::size_t key = 0; key < kSettingsKeys.size(); ++key)
        if (name == kSettingsKeys[key].file) return static_cast<int>(key);
    return -1;
}

[[noreturn]] void CannotCreate(const std::string& folder, int error) {
    throw EInOutError("Cannot create folder " + folder + ": " + std::strerror(error));
}

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The names of the workflows' folders: "QUILL<n>D<m>" of a restore, "QUILLsave-" and six
// characters of a save.
bool WorkFolderName(const std::string& name) {
    if (name.rfind(kSaveFolderPrefix, 0) == 0) return name.size() == std::strlen(kSaveFolderPrefix) + 6;
    const auto d = name.find('D', 5);
    return name.rfind("QUILL", 0) == 0 && d != std::string::npos && AllDigits(name.substr(5, d - 5)) &&
           AllDigits(name.substr(d + 1));
}

// The folder of one run of a workflow in the private temporary folder, locked (flock on
// the folder) while the run lives and deleted with its content when it ends. Runs of the
// user take turns (flock on the temporary folder itself) while one removes the folders
// that no run holds, left by a run that was killed, and creates and locks its own: a
// folder is never seen unlocked between its creation and its lock.
class WorkFolder {
public:
    template <class Create> WorkFolder(const std::string& tempFolder, Create create) {
        const int gate = ::open(tempFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (gate < 0) CannotCreate(tempFolder, errno);
        ::flock(gate, LOCK_EX);
        try {
            RemoveStale(tempFolder);
            m_path = create();
        } catch (...) {
            ::close(gate);
            throw;
        }
        m_lock = m_path.empty() ? -1 : ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        if (m_lock >= 0) ::flock(m_lock, LOCK_EX | LOCK_NB);
        ::close(gate);
        if (m_lock < 0) {
            if (!m_path.empty()) ::rmdir(m_path.c_str());
            CannotCreate(m_path.empty() ? tempFolder : m_path, error);
        }
    }
    ~WorkFolder() {
        DeleteFolderTree(m_path);
        ::close(m_lock);
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    const std::string& path() const { return m_path; }

private:
    static void RemoveStale(const std::string& tempFolder) {
        DIR* listing = ::opendir(tempFolder.c_str());
        if (!listing) return;
        std::vector<std::string> stale;
        while (const dirent* item = ::readdir(listing)) {
            const std::string name = item->d_name;
            struct stat st {};
            if (!WorkFolderName(name) || ::fstatat(::dirfd(listing), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                st.st_uid != ::getuid())
                continue;
            if (!S_ISDIR(st.st_mode)) {
                ::unlinkat(::dirfd(listing), name.c_str(), 0); // a link or file in a folder's place
                continue;
            }
            const int fd = ::openat(::dirfd(listing), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) continue;
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) stale.push_back(tempFolder + "/" + name);
            ::close(fd);
        }
        ::closedir(listing);
        // No run can take these while the turn is ours.
        for (const std::string& folder : stale) DeleteFolderTree(folder);
    }

    std::string m_path;
    int m_lock = -1;
};

} // namespace

std::uint32_t RuntimeRandom::Random(std::uint32_t range) {
    RandSeed = RandSeed * 134775813u + 1u;
    return static_cast<std::uint32_t>((std::uint64_t(range) * RandSeed) >> 32);
}

std::string RestoreFolderName(RuntimeRandom& random) {
    const std::uint32_t first = random.Random(2005);
    const std::uint32_t second = random.Random(6000);
    return "QUILL" + std::to_string(first) + "D" + std::to_string(second);
}

// A store that cannot be read is put aside; the text that tells the user so.
std::optional<std::string> SetAsideDamagedStore(platform::RegistryStore& registry) {
    const auto kept = registry.SetAsideIfDamaged();
    if (!kept) return std::nullopt;
    return "The settings store " + registry.File() + " is damaged. It was kept as " + *kept +
           ", and a fresh store was started.";
}

void SaveSettings(SettingsContext& context) {
    if (context.SaveDialog1.InitialDir.empty()) context.SaveDialog1.InitialDir = context.programFolder;
    const auto chosen = context.dialogs.SaveFile(context.SaveDialog1);
    if (!chosen) return;
    context.SaveDialog1.FileName = *chosen;

    // The keys it held are lost: an archive of the fresh store would pass for a backup.
    if (const auto damaged = SetAsideDamagedStore(context.registry))
        throw ESettingsError("The settings were not saved: " + *damaged +
                             " The printer settings it held can be brought back with Restore Settings.");

    // The hive files are written in a folder of their own in the private temporary
    // folder, never beside the archive, where files of the user's own may have these names.
    const WorkFolder base(context.tempFolder, [&] {
        std::string pattern = context.tempFolder + "/" + kSaveFolderPrefix + "XXXXXX";
        return ::mkdtemp(pattern.data()) ? pattern : std::string();
    });
    // A key that cannot be saved stops the save before the archive is touched.
    for (const SettingsKey& key : kSettingsKeys) {
        SaveKeyToFile(context.registry, key.subkey, base.path() + "/" + key.file);
        ProcessMessages(context.Zipper1);
    }

    zip::TZipper& zipper = context.Zipper1;
    zipper.setZipName(*chosen);
    zipper.FilesList().clear();
    for (const SettingsKey& key : kSettingsKeys) zipper.FilesList().push_back(base.path() + "/" + key.file);
    zipper.Recurse = false;
    zipper.setStorePaths(false);
    zipper.PackLevel = 9;
    // The hives just saved replace those of an older archive of this name whatever the
    // times say (a second save within two seconds falls in the same DOS time).
    zipper.ZipAction = zip::TZipAction::zaReplace;
    zipper.Zip();
}

void RestoreSettings(SettingsContext& context) {
    if (context.OpenDialog1.InitialDir.empty())
        context.OpenDialog1.InitialDir =
            context.SaveDialog1.FileName.empty() ? context.programFolder : FolderOf(context.SaveDialog1.FileName);
    const auto chosen = context.dialogs.OpenFile(context.OpenDialog1);
    if (!chosen) return;
    context.OpenDialog1.FileName = *chosen;

    // The keys are restored into a fresh store.
    if (const auto damaged = SetAsideDamagedStore(context.registry)) context.dialogs.ShowMessage(*damaged);

    zip::TZipper& zipper = context.Zipper1;
    zipper.setZipName(*chosen);
    zipper.ReadZip();
    // A settings archive holds three entries: one of thousands is not one, and reading it
    // would keep the window busy for nothing.
    if (zipper.Count() > kMaxArchiveEntries)
        throw ESettingsError("The settings were not restored: " + *chosen + " holds " + std::to_string(zipper.Count()) +
                             " entries, more than a settings archive can (" + std::to_string(kMaxArchiveEntries) +
                             ").");
    // Each hive is read once, from the last entry that holds it: extracting every entry in
    // turn would leave that one in place.
    std::array<int, kSettingsKeys.size()> hives;
    hives.fill(-1);
    for (int i = 0; i < zipper.Count(); ++i)
        if (const int key = HiveOf(zipper.Entry(i)); key >= 0) hives[static_cast<std::size_t>(key)] = i;
    // Nothing is extracted from an archive whose hives are larger than any settings:
    // inflated, they would fill the temporary folder (memory on most systems).
    for (const int index : hives) {
        if (index < 0) continue;
        const zip::TZipHeaderInfo& entry = zipper.Entry(index);
        if (entry.UncompressedSize() > platform::kMaxHiveSize)
            throw ESettingsError("The settings were not restored: the entry " + entry.Directory + entry.FileName +
                                 " of " + *chosen + " holds " + std::to_string(entry.UncompressedSize()) +
                                 " bytes, more than settings can (" + std::to_string(platform::kMaxHiveSize) + ").");
    }

    // Each run extracts into a folder that it alone created: the generator gives every
    // run the same names, so a name that another run holds is passed over.
    const WorkFolder folder(context.tempFolder, [&] {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const std::string path = context.tempFolder + "/" + RestoreFolderName(context.random);
            if (::mkdir(path.c_str(), 0700) == 0) return path;
            if (errno != EEXIST) CannotCreate(path, errno);
        }
        CannotCreate(context.tempFolder + "/QUILL*", EEXIST);
    });

    // Only the three hives are extracted, each under its own name whatever folder and case
    // it was stored with; other entries stay in the archive.
    struct Restore {
        zip::TZipper& zipper;
        decltype(zip::TZipper::OnStartUnZip) chosen;
        ~Restore() {
            zipper.FilesList().clear();
            zipper.OnStartUnZip = std::move(chosen);
        }
    } restore{zipper, zipper.OnStartUnZip};
    zipper.OnStartUnZip = [&](zip::TUnZipper*, int index, std::string& target, bool& skip) {
        const auto hive = std::find(hives.begin(), hives.end(), index);
        skip = hive == hives.end();
        if (!skip) target = folder.path() + "/" + kSettingsKeys[static_cast<std::size_t>(hive - hives.begin())].file;
    };
    zipper.DoAll = true;
    zipper.FilesList().clear();
    zipper.setDestDir(folder.path());
    zipper.UnZip();

    for (const SettingsKey& key : kSettingsKeys) {
        RestoreKeyFromFile(context.registry, context.dialogs, key.subkey, folder.path() + "/" + key.file);
        ProcessMessages(context.Zipper1);
    }
}

} // namespace quill::backup
