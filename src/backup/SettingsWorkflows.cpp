#include "backup/SettingsWorkflows.h"

#include "backup/DeleteFolderTree.h"
#include "backup/RegistryKeyFile.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

// Removes a folder tree when the scope ends, however it ends.
class FolderRemoval {
public:
    explicit FolderRemoval(std::string folder) : m_folder(std::move(folder)) {}
    ~FolderRemoval() { DeleteFolderTree(m_folder); }
    FolderRemoval(const FolderRemoval&) = delete;
    FolderRemoval& operator=(const FolderRemoval&) = delete;

private:
    std::string m_folder;
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

void SaveSettings(SettingsContext& context) {
    if (context.SaveDialog1.InitialDir.empty()) context.SaveDialog1.InitialDir = context.programFolder;
    const auto chosen = context.dialogs.SaveFile(context.SaveDialog1);
    if (!chosen) return;
    context.SaveDialog1.FileName = *chosen;

    // The hive files are written in a folder of their own in the private temporary
    // folder, never beside the archive, where files of the user's own may have these names.
    std::string base = context.tempFolder + "/QUILLsave-XXXXXX";
    if (!::mkdtemp(base.data())) throw EInOutError("Cannot create folder " + base + ": " + std::strerror(errno));
    FolderRemoval removal(base);
    for (const SettingsKey& key : kSettingsKeys) {
        SaveKeyToFile(context.registry, key.subkey, base + "/" + key.file);
        ProcessMessages(context.Zipper1);
    }

    zip::TZipper& zipper = context.Zipper1;
    zipper.setZipName(*chosen);
    for (const SettingsKey& key : kSettingsKeys) zipper.FilesList().push_back(base + "/" + key.file);
    zipper.Recurse = false;
    zipper.setStorePaths(false);
    zipper.PackLevel = 9;
    zipper.Zip();
}

void RestoreSettings(SettingsContext& context) {
    if (context.OpenDialog1.InitialDir.empty())
        context.OpenDialog1.InitialDir =
            context.SaveDialog1.FileName.empty() ? context.programFolder : FolderOf(context.SaveDialog1.FileName);
    const auto chosen = context.dialogs.OpenFile(context.OpenDialog1);
    if (!chosen) return;
    context.OpenDialog1.FileName = *chosen;

    const std::string folder = context.tempFolder + "/" + RestoreFolderName(context.random);
    // The names repeat from run to run: what an earlier run left under this name (after
    // a crash) goes first, so that a stale hive is never restored; a link of that name
    // goes as a link.
    DeleteFolderTree(folder);
    ::unlink(folder.c_str());
    if (::mkdir(folder.c_str(), 0700) != 0)
        throw EInOutError("Cannot create folder " + folder + ": " + std::strerror(errno));
    FolderRemoval removal(folder);

    zip::TZipper& zipper = context.Zipper1;
    zipper.setZipName(*chosen);
    zipper.DoAll = true;
    zipper.setDestDir(folder);
    zipper.UnZip();

    for (const SettingsKey& key : kSettingsKeys) {
        RestoreKeyFromFile(context.registry, context.dialogs, key.subkey, folder + "/" + key.file);
        ProcessMessages(context.Zipper1);
    }
}

} // namespace quill::backup
