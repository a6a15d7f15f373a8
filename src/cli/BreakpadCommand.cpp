// quillfen-cli breakpad: Breakpad's symbol file (.sym) of one module from its
// MAP file, for the crash services built on Breakpad's format; the identity
// from the module's image where it is given.
#include <iostream>
#include <new>

#include "Commands.h"
#include "Terminal.h"
#include "base/Errors.h"
#include "base/Sha256.h"
#include "crash/ModuleName.h"
#include "image/PeImage.h"
#include "image/UnwindCfi.h"
#include "map/BreakpadSymbols.h"
#include "map/SymbolMap.h"

namespace qf::cli {
namespace {

std::string TemporaryName(const std::string& path) { return path + ".tmp-quillfen"; }

// The value of an option given as "NAME VALUE" or "NAME=VALUE".
bool TakeValue(const Args& args, std::size_t& i, const std::string& name, std::optional<std::string>& value) {
  const std::string& arg = args[i];
  if (arg == name) {
    value.reset();
    if (i + 1 < args.size()) value = args[++i];
    return true;
  }
  if (arg.compare(0, name.size() + 1, name + "=") == 0) {
    value = arg.substr(name.size() + 1);
    return true;
  }
  return false;
}

}  // namespace

BreakpadModule MakeBreakpadModule(const SymbolMap& map, const BreakpadSource& source) {
  BreakpadModule module;
  module.imageBase = map.ImageBase();
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
  WriteBreakpadSymbols(map, module.imageBase, module.identity, module.stackRecords,
                       [&](std::string_view piece) { text.append(piece); });
  return text;
}

bool WriteFileReplacing(const std::string& path, std::string_view content) {
  const FileSystem& fs = PlatformFileSystem();
  const std::string temporary = TemporaryName(path);
  fs.RemoveFile(temporary);
  if (!fs.WriteNewFile(temporary, content)) return false;
  if (fs.FileExists(path) && !fs.RemoveFile(path)) {
    fs.RemoveFile(temporary);
    return false;
  }
  if (!fs.MoveNoReplace(temporary, path)) {
    fs.RemoveFile(temporary);
    return false;
  }
  return true;
}

int RunBreakpad(const Args& args, std::istream&, std::ostream& out, std::ostream& err) {
  std::optional<std::string> module, image, output;
  bool sentry = false;
  Args operands;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::optional<std::string> value;
    if (optionsEnded || !IsOption(arg)) {
      operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--sentry") {
      sentry = true;
    } else if (TakeValue(args, i, "--module", value)) {
      if (!value || value->empty()) return UsageError(err, "breakpad: --module needs a name");
      module = value;
    } else if (TakeValue(args, i, "--image", value)) {
      if (!value || value->empty()) return UsageError(err, "breakpad: --image needs a file");
      image = value;
    } else if (TakeValue(args, i, "-o", value)) {
      if (!value || value->empty()) return UsageError(err, "breakpad: -o needs a file");
      output = value;
    } else {
      return UsageError(err, "breakpad: unknown option \"" + arg + "\"");
    }
  }
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
    const BreakpadModule made = MakeBreakpadModule(map, source);
    if (made.usageError) return UsageError(err, "breakpad: " + made.error);
    if (!made.error.empty()) {
      PrintError(err, "breakpad: " + made.error);
      return kExitUsage;
    }
    if (output) {
      if (!WriteFileReplacing(*output, BreakpadText(map, made))) {
        PrintError(err, "breakpad: cannot write \"" + *output + "\"");
        return kExitUsage;
      }
      return kExitOk;
    }
    if (&out == &std::cout) UseBinaryStandardOutput();
    WriteBreakpadSymbols(map, made.imageBase, made.identity, made.stackRecords, [&](std::string_view piece) {
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    });
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
