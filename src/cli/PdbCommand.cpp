// quillfen-cli pdb: the program database (.pdb) of one module from its MAP
// file, for debuggers, profilers and dbghelp; with --bind, a copy of the
// module's executable whose CodeView record names that PDB.
#include <array>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "Commands.h"
#include "base/Errors.h"
#include "base/FileSystem.h"
#include "base/Sha256.h"
#include "crash/ModuleName.h"
#include "export/PdbFile.h"
#include "image/PeBind.h"
#include "image/PeImage.h"
#include "map/SymbolMap.h"

namespace qf::cli {
namespace {

// The path with its file's extension replaced by ext.
std::string WithExtension(const std::string& path, std::string_view ext) {
  const std::string_view file = ModuleFileName(path);
  const std::size_t stem = path.size() - file.size() + WithoutExtension(file).size();
  return path.substr(0, stem) + std::string(ext);
}

}  // namespace

int RunPdb(const Args& args, std::istream&, std::ostream&, std::ostream& err) {
  ParsedArgs parsed;
  if (const int status = ParseArgs(*FindCommand("pdb"), args, parsed, err)) return status;
  const std::optional<std::string> module = parsed.Value("--module"), image = parsed.Value("--image"),
                                   bind = parsed.Value("--bind");
  std::optional<std::string> output = parsed.Value("-o");
  const bool force = parsed.Has("--force");
  const bool demangle = !parsed.Has("--no-demangle");
  const Args& operands = parsed.operands;
  if (operands.empty()) return UsageError(err, "pdb: a MAP file is needed");
  if (operands.size() > 1) return UsageError(err, "pdb: one MAP file only (\"" + operands[1] + "\")");
  if (bind && !image) return UsageError(err, "pdb: --bind needs the executable to bind: give it with --image");
  const std::string& mapFile = operands[0];
  if (!output) {
    if (module) {
      const std::string_view map = ModuleFileName(mapFile);
      output = mapFile.substr(0, mapFile.size() - map.size()) +
               std::string(WithoutExtension(ModuleFileName(*module))) + ".pdb";
    } else {
      output = WithExtension(mapFile, ".pdb");
    }
  }
  if (bind && *bind == *output) return UsageError(err, "pdb: the PDB and the bound executable are one file");
  try {
    std::string imageBytes;
    std::optional<PeImage> pe;
    if (image) {
      imageBytes = PlatformFileSystem().ReadWholeFile(*image);
      pe = ReadPeImage(imageBytes);
      if (!pe) {
        PrintError(err, "pdb: " + *image + " is not a Windows executable (no PE image)");
        return kExitUsage;
      }
      if (pe->machine == PeImage::Machine::Other) {
        PrintError(err, "pdb: " + *image + " is an image for neither x86 nor x64");
        return kExitUsage;
      }
    }
    // The MAP file's digest (for the GUID of an image without CodeView
    // record) is worked out while the map loads.
    std::array<uint8_t, 32> mapDigest{};
    std::exception_ptr digestError;
    std::thread digest;
    struct Joined {
      std::thread& thread;
      ~Joined() {
        if (thread.joinable()) thread.join();
      }
    } joined{digest};
    if (!(pe && ReadPeCodeView(*pe, imageBytes))) {
      digest = std::thread([&] {
        try {
          mapDigest = FileSha256(PlatformFileSystem(), mapFile);
        } catch (...) {
          digestError = std::current_exception();
        }
      });
    }
    const SymbolMap map = SymbolMap::Load(mapFile);
    if (digest.joinable()) digest.join();
    if (digestError) std::rethrow_exception(digestError);
    if (!map.HasSegmentTable()) {
      PrintError(err, "pdb: " + mapFile + " is not a MAP file with a segment table");
      return kExitUsage;
    }
    if (pe && pe->is64 != map.WideStarts()) {
      PrintError(err, "pdb: " + BitnessProblem(*image, pe->is64, mapFile, map.WideStarts()));
      return kExitUsage;
    }
    if (const std::string lacks = MapLacks(map, mapFile); !lacks.empty() && !force) {
      PrintError(err, "pdb: " + lacks + "; its PDB would name no function (--force writes it anyway)");
      return kExitNotAllFound;
    }
    const PeImage* peImage = pe ? &*pe : nullptr;
    PdbIdentity id = PdbIdentityOfDigest(peImage, imageBytes, mapDigest, std::string(ModuleFileName(*output)));
    if (bind) id.pdbName = std::string(ModuleFileName(*output));
    if (id.pdbName != ModuleFileName(*output)) {
      PrintError(err, "pdb: note: " + *image + " names its PDB " + id.pdbName + "; a debugger looks for that name");
    }
    // The bound copy is made before anything is written: a refusal writes nothing.
    std::string bound;
    if (bind) {
      BindRequest request;
      request.guid = id.guid;
      request.age = id.age;
      request.pdbName = id.pdbName;
      request.force = force;
      BindOutcome outcome = BindCodeView(imageBytes, request);
      if (!outcome.refusal.empty()) {
        PrintError(err, "pdb: " + *image + ": " + outcome.refusal);
        return kExitNotAllFound;
      }
      bound = std::move(outcome.bytes);
    }
    const uint64_t imageBase = peImage != nullptr ? peImage->imageBase : map.ImageBase();
    // An error while writing fails the file, so that its temporary copy goes.
    std::exception_ptr writeError;
    std::string reason;
    const bool written = WriteFileReplacing(*output, [&](std::ostream& file) {
      try {
        WritePdb(
            map, imageBase, peImage, imageBytes, id,
            [&](std::string_view piece) { file.write(piece.data(), static_cast<std::streamsize>(piece.size())); },
            demangle);
      } catch (...) {
        writeError = std::current_exception();
        file.setstate(std::ios::badbit);
      }
    }, reason);
    if (writeError) std::rethrow_exception(writeError);
    if (!written) {
      PrintError(err, "pdb: cannot write \"" + *output + "\": " + reason);
      return kExitUsage;
    }
    if (bind && !WriteFileReplacing(
                    *bind,
                    [&](std::ostream& file) { file.write(bound.data(), static_cast<std::streamsize>(bound.size())); },
                    reason)) {
      PrintError(err, "pdb: cannot write \"" + *bind + "\": " + reason);
      return kExitUsage;
    }
    return kExitOk;
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    PrintError(err, "not enough memory to write the PDB of \"" + mapFile + "\"");
    return kExitUsage;
  } catch (const std::exception& e) {
    // A map too large for the format (more units or blocks than it holds).
    PrintError(err, "pdb: " + mapFile + ": " + e.what());
    return kExitUsage;
  }
}

}  // namespace qf::cli
