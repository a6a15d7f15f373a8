// quillfen-cli breakpad: Breakpad's symbol file (.sym) of one module from its
// MAP file, for the crash services built on Breakpad's format; the identity
// from the module's image where it is given.
#include <cerrno>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <new>

#include "Commands.h"
#include "map/FunctionSpans.h"
#include "StoredBuilds.h"
#include "Terminal.h"
#include "base/Errors.h"
#include "base/PathRules.h"
#include "base/Sha256.h"
#include "crash/ModuleName.h"
#include "db/U_MAPDb.h"
#include "image/PeImage.h"
#include "image/UnwindCfi.h"
#include "export/BreakpadSymbols.h"
#include "map/SymbolMap.h"

namespace qf::cli {
namespace {

std::string TemporaryName(const std::string& path) { return path + ".tmp-quillfen"; }

// "1 file" or "N files".
std::string Files(std::size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

}  // namespace

bool MakeFolders(const FileSystem& fs, const std::string& root, const std::vector<std::string>& levels,
                 std::string& path) {
  path = root;
  while (path.size() > 1 && (path.back() == '/' || path.back() == PathDelim)) path.pop_back();
  if (!fs.DirectoryExists(path) && !fs.CreateDir(path)) return false;
  for (const std::string& level : levels) {
    path += PathDelim + level;
    if (!fs.DirectoryExists(path) && !fs.CreateDir(path)) return false;
  }
  return true;
}

BreakpadModule MakeBreakpadModule(const SymbolMap& map, const BreakpadSource& source) {
  BreakpadModule module;
  module.imageBase = map.ImageBase();
  module.demangle = source.demangle;
  BreakpadIdentity& id = module.identity;
  id.arch = map.WideStarts() ? "x86_64" : "x86";
  id.codeName = source.moduleName;
  std::optional<PeCodeView> codeView;
  std::string sha256;
  if (source.image) {
    const std::optional<PeImage> image = ReadPeImage(source.image->bytes);
    if (!image) {
      module.error = source.image->path + " is not a Windows executable (no PE image)";
      return module;
    }
    if (image->machine == PeImage::Machine::Other) {
      module.error = source.image->path + " is an image for neither x86 nor x64";
      return module;
    }
    id.arch = image->machine == PeImage::Machine::Amd64 ? "x86_64" : "x86";
    id.codeId = BreakpadCodeId(image->timeDateStamp, image->sizeOfImage);
    codeView = ReadPeCodeView(*image, source.image->bytes);
    module.stackRecords = X64StackCfi(*image, source.image->bytes);
    if (image->machine == PeImage::Machine::X86) {
      // x86 images have no function table: the MAP file's functions.
      std::vector<std::pair<uint32_t, uint32_t>> functions;
      const FunctionSpans spans(map);
      for (const auto& [begin, end] : spans.All())
        if (begin >= map.ImageBase() && end - map.ImageBase() <= UINT32_MAX)
          functions.push_back({uint32_t(begin - map.ImageBase()), uint32_t(end - map.ImageBase())});
      module.stackRecords = X86StackCfi(*image, source.image->bytes, functions);
    }
    if (source.sentry && !codeView) sha256 = Sha256Hex(source.image->bytes);
  } else if (source.build) {
    if (source.build->machine == "x64") id.arch = "x86_64";
    if (source.build->machine == "x86") id.arch = "x86";
    id.codeId = BreakpadCodeId(source.build->timeDateStamp, source.build->sizeOfImage);
    sha256 = source.build->sha256;
  }
  if (codeView) {
    id.debugId = BreakpadDebugId(codeView->guid, codeView->age);
    id.debugName = std::string(ModuleFileName(codeView->pdbName));
  }
  if (id.debugName.empty()) id.debugName = source.moduleName;
  if (id.debugId.empty()) {
    if (!source.sentry) {
      id.debugId = std::string(kZeroBreakpadId);
    } else if (id.codeId.empty() || sha256.empty()) {
      module.usageError = true;
      module.error = "--sentry needs the code id and SHA-256 of a module without CodeView record (Sentry matches "
                     "such modules by their code id): " +
                     std::string(id.codeId.empty() ? "give its image with --image" : "its .build file has no sha256");
      return module;
    } else {
      id.debugId = BreakpadDerivedId(id.codeId, sha256);
    }
  }
  return module;
}

std::string BreakpadText(const SymbolMap& map, const BreakpadModule& module) {
  std::string text;
  WriteBreakpadSymbols(
      map, module.imageBase, module.identity, module.stackRecords,
      [&](std::string_view piece) { text.append(piece); }, module.demangle);
  return text;
}

bool WriteFileReplacing(const std::string& path, const std::function<void(std::ostream&)>& write,
                        std::string& reason) {
  const FileSystem& fs = PlatformFileSystem();
  const std::string temporary = TemporaryName(path);
  fs.RemoveFile(temporary);
  const auto fail = [&](int error) {
    reason = SystemReason(error);
    fs.RemoveFile(temporary);
    return false;
  };
  {
    errno = 0;
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) return fail(errno);
    write(file);
    file.flush();
    if (!file) {
      const int error = errno;
      file.close();
      return fail(error);
    }
  }
  errno = 0;
  if (fs.FileExists(path) && !fs.RemoveFile(path)) return fail(errno);
  errno = 0;
  if (!fs.MoveNoReplace(temporary, path)) return fail(errno);
  return true;
}

bool WriteFileReplacing(const std::string& path, const std::function<void(std::ostream&)>& write) {
  std::string reason;
  return WriteFileReplacing(path, write, reason);
}

int DbExportBreakpad(const TMapDB& db, const Args& args, bool sentry, bool demangle, std::ostream& out,
                     std::ostream& err) {
  const std::string command = "db export-breakpad";
  const FileSystem& fs = PlatformFileSystem();
  const std::string& outDir = args[0];
  std::vector<SelectedBuild> selected;
  if (!SelectStoredBuilds(db, args, command, selected, err)) return kExitNotAllFound;
  // Sentry needs every build's code id: nothing is written without them.
  if (sentry) {
    for (const SelectedBuild& s : selected) {
      if (!s.build.identity || s.build.identity->sha256.empty()) {
        return UsageError(err, command + ": --sentry needs the code id and SHA-256 of every build (Sentry matches "
                                         "a module without CodeView record by its code id); project " +
                                   s.project + ", version " + s.build.version + " has no .build file" +
                                   (s.build.identity ? " with a sha256" : ""));
      }
    }
  }

  std::size_t written = 0, kept = 0;
  bool allDone = true;
  std::map<std::string, std::string> exported;  // path: the build that wrote it in this run
  for (const SelectedBuild& s : selected) {
    const std::string what = "project " + s.project + ", version " + s.build.version;
    const auto failed = [&](const std::string& problem) {
      PrintError(err, command + ": " + what + ": " + problem);
      allDone = false;
    };
    BreakpadSource source;
    source.sentry = sentry;
    source.demangle = demangle;
    const std::optional<BuildIdentity>& identity = s.build.identity;
    source.moduleName = identity ? identity->module : s.project + ".exe";
    source.build = identity;
    try {
      // The image stored beside the MAP file, with the module's extension.
      if (identity) {
        const std::string_view name = ModuleFileName(identity->module);
        const std::string image =
            db.GetVersionPath(s.project, s.build.version) + std::string(name.substr(WithoutExtension(name).size()));
        if (name.size() > WithoutExtension(name).size() && fs.FileExists(image)) {
          std::string bytes = fs.ReadWholeFile(image);
          const std::optional<PeImage> pe = ReadPeImage(bytes);
          if (pe && identity->SameBuild(pe->timeDateStamp, pe->sizeOfImage)) {
            source.image = BreakpadImage{image, std::move(bytes)};
          } else {
            PrintError(err, command + ": " + what + ": " + image + " is not the stored build's image; not used");
          }
        }
      }
      const SymbolMap map = SymbolMap::Load(db.GetVersionPath(s.project, s.build.version + ".map"));
      if (!map.HasSegmentTable()) {
        failed("the MAP file has no segment table");
        continue;
      }
      const std::string mapPath = db.GetVersionPath(s.project, s.build.version + ".map");
      if (identity && (identity->machine == "x64" || identity->machine == "x86")) {
        const std::string problem =
            BitnessProblem(source.image ? source.image->path : "its build (" + identity->module + ")",
                           identity->machine == "x64", mapPath, map.WideStarts());
        if (!problem.empty()) {
          failed(problem);
          continue;
        }
      }
      const BreakpadModule made = MakeBreakpadModule(map, source);
      if (!made.error.empty()) {
        failed(made.error);
        continue;
      }
      const BreakpadIdentity& id = made.identity;
      const std::string fileName = BreakpadSymbolFileName(id.debugName);
      std::string folder;
      if (!MakeFolders(fs, outDir, {std::string(ModuleFileName(id.debugName)), id.debugId}, folder)) {
        failed("cannot make the folder \"" + folder + "\"");
        continue;
      }
      const std::string path = folder + PathDelim + fileName;
      const std::string text = BreakpadText(map, made);
      const auto before = exported.find(path);
      if (before != exported.end()) {
        failed("its symbol file is that of " + before->second + " (" + path + ": the same module name and id); " +
               "not written");
        continue;
      }
      exported[path] = what;
      if (fs.FileExists(path) && fs.FileSize(path) == static_cast<long long>(text.size()) &&
          fs.ReadWholeFile(path) == text) {
        ++kept;
        continue;
      }
      std::string reason;
      if (!WriteFileReplacing(
              path,
              [&](std::ostream& file) { file.write(text.data(), static_cast<std::streamsize>(text.size())); },
              reason)) {
        failed("cannot write \"" + path + "\": " + reason);
        continue;
      }
      out << path << '\n';
      ++written;
    } catch (const Exception& e) {
      PrintException(err, e);
      allDone = false;
    } catch (const std::bad_alloc&) {
      failed("not enough memory");
    }
  }
  out << Files(written) << " written, " << Files(kept) << " left as "
      << (kept == 1 ? "it was" : "they were") << '\n';
  return allDone ? kExitOk : kExitNotAllFound;
}

int RunBreakpad(const Args& args, std::istream&, std::ostream& out, std::ostream& err) {
  ParsedArgs parsed;
  if (const int status = ParseArgs(*FindCommand("breakpad"), args, parsed, err)) return status;
  const std::optional<std::string> module = parsed.Value("--module"), image = parsed.Value("--image"),
                                   output = parsed.Value("-o");
  const bool sentry = parsed.Has("--sentry"), force = parsed.Has("--force");
  const Args& operands = parsed.operands;
  if (operands.empty()) return UsageError(err, "breakpad: a MAP file is needed");
  if (operands.size() > 1) return UsageError(err, "breakpad: one MAP file only (\"" + operands[1] + "\")");
  if (sentry && !image) {
    return UsageError(err,
                      "breakpad: --sentry needs the module's code id (Sentry matches a module without CodeView "
                      "record by it): give its image with --image");
  }
  const std::string& mapFile = operands[0];

  // The module's file name: NAME of --module when it has an extension, else
  // the image's, else the MAP file's (or NAME) as a program's.
  BreakpadSource source;
  source.sentry = sentry;
  source.demangle = !parsed.Has("--no-demangle");
  if (module && WithoutExtension(ModuleFileName(*module)).size() < ModuleFileName(*module).size()) {
    source.moduleName = std::string(ModuleFileName(*module));
  } else if (image) {
    source.moduleName = std::string(ModuleFileName(*image));
  } else {
    source.moduleName = (module ? std::string(ModuleFileName(*module)) : MapModuleName(mapFile)) + ".exe";
  }
  try {
    if (image) source.image = BreakpadImage{*image, PlatformFileSystem().ReadWholeFile(*image)};
    const SymbolMap map = SymbolMap::Load(mapFile);
    if (!map.HasSegmentTable()) {
      PrintError(err, "breakpad: " + mapFile + " is not a MAP file with a segment table");
      return kExitUsage;
    }
    if (source.image) {
      const std::optional<PeImage> pe = ReadPeImage(source.image->bytes);
      if (pe && pe->machine != PeImage::Machine::Other && pe->is64 != map.WideStarts()) {
        PrintError(err, "breakpad: " + BitnessProblem(*image, pe->is64, mapFile, map.WideStarts()));
        return kExitUsage;
      }
    }
    if (const std::string lacks = MapLacks(map, mapFile); !lacks.empty() && !force) {
      PrintError(err, "breakpad: " + lacks + "; its symbol file would name no function (--force writes it anyway)");
      return kExitNotAllFound;
    }
    const BreakpadModule made = MakeBreakpadModule(map, source);
    if (made.usageError) return UsageError(err, "breakpad: " + made.error);
    if (!made.error.empty()) {
      PrintError(err, "breakpad: " + made.error);
      return kExitUsage;
    }
    // The file goes out piece by piece as it is written, never whole in memory.
    const auto writeTo = [&](std::ostream& to) {
      WriteBreakpadSymbols(
          map, made.imageBase, made.identity, made.stackRecords,
          [&](std::string_view piece) { to.write(piece.data(), static_cast<std::streamsize>(piece.size())); },
          made.demangle);
    };
    if (output) {
      std::string reason;
      if (!WriteFileReplacing(*output, writeTo, reason)) {
        PrintError(err, "breakpad: cannot write \"" + *output + "\": " + reason);
        return kExitUsage;
      }
      return kExitOk;
    }
    if (&out == &std::cout) UseBinaryStandardOutput();
    writeTo(out);
    out.flush();
    return out ? kExitOk : kExitUsage;
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    PrintError(err, "not enough memory to load \"" + mapFile + "\"");
    return kExitUsage;
  }
}

}  // namespace qf::cli
