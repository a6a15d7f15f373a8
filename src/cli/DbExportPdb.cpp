// quillfen-cli db export-pdb: every stored build that keeps its image gets
// its PDB and a copy of the image bound to it (a CodeView record naming the
// PDB), both filed as Windows symbol servers look them up:
//   OUTDIR/NAME.pdb/GUIDAGE/NAME.pdb  and  OUTDIR/NAME.exe/STAMPSIZE/NAME.exe
// A file already there with the same bytes is left as it is. The bound
// copies are for debuggers that fetch an image by its identity, not for
// running or shipping: a signature is dropped, appended data kept.
#include <array>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "Commands.h"
#include "StoredBuilds.h"
#include "base/Errors.h"
#include "base/FileSystem.h"
#include "base/PathRules.h"
#include "base/Sha256.h"
#include "base/TextRules.h"
#include "crash/ModuleName.h"
#include "db/U_MAPDb.h"
#include "export/PdbFile.h"
#include "image/PeBind.h"
#include "image/PeImage.h"
#include "export/BreakpadSymbols.h"
#include "map/SymbolMap.h"

namespace qf::cli {
namespace {

std::string Files(std::size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

// The image a build keeps beside its MAP file (VERSION.exe), when it is that build's.
std::optional<std::string> StoredImage(const TMapDB& db, const SelectedBuild& s, std::string& problem) {
  const std::optional<BuildIdentity>& identity = s.build.identity;
  if (!identity) {
    problem = "no .build file";
    return std::nullopt;
  }
  const std::string_view name = ModuleFileName(identity->module);
  const std::string ext(name.substr(WithoutExtension(name).size()));
  const std::string path = db.GetImagePath(s.project, s.build.version, LowerCase(ext));
  const FileSystem& fs = PlatformFileSystem();
  if (ext.empty() || !fs.FileExists(path)) {
    problem = "no stored image";
    return std::nullopt;
  }
  std::string bytes = fs.ReadWholeFile(path);
  const std::optional<PeImage> pe = ReadPeImage(bytes);
  if (!pe || !identity->SameBuild(pe->timeDateStamp, pe->sizeOfImage)) {
    problem = path + " is not the stored build's image";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

int DbExportPdb(const TMapDB& db, const Args& args, bool demangle, std::ostream& out, std::ostream& err) {
  const std::string command = "db export-pdb";
  const FileSystem& fs = PlatformFileSystem();
  std::vector<SelectedBuild> selected;
  if (!SelectStoredBuilds(db, args, command, selected, err)) return kExitNotAllFound;

  std::size_t written = 0, kept = 0;
  bool allDone = true;
  std::map<std::string, std::string> exported;  // path: the build that wrote it in this run
  for (const SelectedBuild& s : selected) {
    const std::string what = "project " + s.project + ", version " + s.build.version;
    const auto failed = [&](const std::string& problem) {
      PrintError(err, command + ": " + what + ": " + problem);
      allDone = false;
    };
    // Writes bytes as OUTDIR/NAME/KEY/NAME unless the same bytes are there.
    const auto file = [&](const std::string& name, const std::string& key, const std::string& bytes) {
      std::string folder;
      if (!MakeFolders(fs, args[0], {name, key}, folder)) return failed("cannot make the folder \"" + folder + "\"");
      const std::string path = folder + PathDelim + name;
      const auto before = exported.emplace(path, what);
      if (!before.second) return failed(path + " is written already for " + before.first->second + "; not written");
      if (fs.FileExists(path) && fs.FileSize(path) == static_cast<long long>(bytes.size()) &&
          fs.ReadWholeFile(path) == bytes) {
        ++kept;
        return;
      }
      std::string reason;
      if (!WriteFileReplacing(
              path, [&](std::ostream& to) { to.write(bytes.data(), std::streamsize(bytes.size())); }, reason))
        return failed("cannot write \"" + path + "\": " + reason);
      out << path << '\n';
      ++written;
    };
    try {
      std::string problem;
      const std::optional<std::string> image = StoredImage(db, s, problem);
      if (!image) {
        PrintError(err, command + ": " + what + ": " + problem + "; left out (a PDB needs the build's image)");
        continue;
      }
      const PeImage pe = *ReadPeImage(*image);
      const std::string mapPath = db.GetVersionPath(s.project, s.build.version + ".map");
      const SymbolMap map = SymbolMap::Load(mapPath);
      if (!map.HasSegmentTable()) {
        failed("the MAP file has no segment table");
        continue;
      }
      const std::string_view moduleName = ModuleFileName(s.build.identity->module);
      const std::string imagePath = db.GetImagePath(
          s.project, s.build.version, LowerCase(std::string(moduleName.substr(WithoutExtension(moduleName).size()))));
      if (const std::string problem = BitnessProblem(imagePath, pe.is64, mapPath, map.WideStarts());
          !problem.empty()) {
        failed(problem);
        continue;
      }
      const std::string module(ModuleFileName(s.build.identity->module));
      const PdbIdentity id = PdbIdentityOfDigest(&pe, *image, FileSha256(fs, mapPath),
                                                 std::string(WithoutExtension(module)) + ".pdb");
      std::string pdb;
      WritePdb(
          map, pe.imageBase, &pe, *image, id, [&](std::string_view piece) { pdb.append(piece); }, demangle);
      file(id.pdbName, BreakpadDebugId(id.guid, id.age), pdb);
      pdb = std::string();
      BindRequest request;
      request.guid = id.guid;
      request.age = id.age;
      request.pdbName = id.pdbName;
      request.force = true;
      const BindOutcome bound = BindCodeView(*image, request);
      if (!bound.refusal.empty()) {
        failed("its image is not bound: " + bound.refusal);
        continue;
      }
      file(module, pe.SymbolServerKey(), bound.bytes);
    } catch (const Exception& e) {
      PrintException(err, e);
      allDone = false;
    } catch (const std::bad_alloc&) {
      failed("not enough memory");
    }
  }
  out << Files(written) << " written, " << Files(kept) << " left as " << (kept == 1 ? "it was" : "they were")
      << '\n';
  return allDone ? kExitOk : kExitNotAllFound;
}

}  // namespace qf::cli
