#include "export/PdbFile.h"

#include <string>
#include <vector>

#include "export/Msf.h"
#include "export/PdbFrameData.h"
#include "export/PdbHash.h"
#include "export/PdbModuleStreams.h"
#include "export/PdbSectionTable.h"
#include "export/PdbStreams.h"
#include "map/FunctionSpans.h"

namespace qf {
namespace {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMachineAmd64 = 0x8664;

uint16_t MachineOf(const SymbolMap& map, const PeImage* image) {
  if (image != nullptr && image->machine != PeImage::Machine::Other) return image->machineCode;
  return map.WideStarts() ? kMachineAmd64 : kMachineI386;
}

// The PDB info stream's signature: the image's TimeDateStamp, else the
// GUID's first word.
uint32_t SignatureOf(const PeImage* image, const PdbIdentity& id) {
  if (image != nullptr) return image->timeDateStamp;
  uint32_t signature = 0;
  for (int k = 3; k >= 0; --k) signature = signature << 8 | id.guid[static_cast<std::size_t>(k)];
  return signature;
}

// Every stream before the modules', whole, from the plan.
std::vector<std::string> FixedStreams(const SymbolMap& map, const PeImage* image, const PdbIdentity& id,
                                      const PdbSectionTable& sections, PdbModulePlan& plan,
                                      const PdbStringTable& names, uint16_t frameDataStream) {
  std::vector<std::string> streams(kPdbFirstModuleStream);
  streams[kPdbInfo] =
      PdbInfoStream(id.guid, id.age, SignatureOf(image, id), {{"/LinkInfo", kPdbLinkInfo}, {"/names", kPdbNames}});
  streams[kPdbTpi] = PdbEmptyTypeStream();
  streams[kPdbIpi] = PdbEmptyTypeStream();
  const uint16_t machine = MachineOf(map, image);
  {
    PdbDbiInput dbi;
    dbi.age = id.age;
    dbi.machine = machine;
    dbi.modules = &plan.Modules();
    dbi.contributions = std::move(plan.Contributions());
    dbi.sections = &sections.Sections();
    dbi.frameDataStream = frameDataStream;
    streams[kPdbDbi] = PdbDbiStream(dbi);
  }
  {
    PdbGlobalSymbols globals = PdbGlobalStreams(std::move(plan.Publics()), plan.ProcRefs(), machine == kMachineI386);
    streams[kPdbGlobals] = std::move(globals.globals);
    streams[kPdbPublics] = std::move(globals.publics);
    streams[kPdbSymbolRecords] = std::move(globals.records);
  }
  streams[kPdbSectionHeaders] = PdbSectionHeaderStream(sections.Sections());
  streams[kPdbNames] = names.Bytes();
  return streams;
}

// The frame data of an x86 image, from the analysis of the map's functions.
std::vector<PdbFrameRecord> FrameRecordsOf(const SymbolMap& map, uint64_t imageBase, const PeImage* image,
                                           std::string_view imageBytes) {
  if (image == nullptr || image->machine != PeImage::Machine::X86) return {};
  std::vector<std::pair<uint32_t, uint32_t>> functions;
  const FunctionSpans spans(map);
  for (const auto& [begin, end] : spans.All()) {
    if (begin >= imageBase && end - imageBase <= UINT32_MAX)
      functions.push_back({static_cast<uint32_t>(begin - imageBase), static_cast<uint32_t>(end - imageBase)});
  }
  return X86FrameRecords(*image, imageBytes, functions);
}

}  // namespace

void WritePdb(const SymbolMap& map, uint64_t imageBase, const PeImage* image, std::string_view imageBytes,
              const PdbIdentity& id, const std::function<void(std::string_view)>& write, bool demangle) {
  const PdbSectionTable sections(map, imageBase, image);

  // The first walk: the plan, every stream's size.
  PdbModulePlan plan(map, demangle);
  WalkPdbModules(map, imageBase, sections, plan);
  PdbStringTable names;
  plan.Finish(names);
  // The frame data, if any, in the stream after the modules'.
  std::string frameData = PdbFrameDataStream(FrameRecordsOf(map, imageBase, image, imageBytes), names);
  const uint32_t frameDataStream = static_cast<uint32_t>(kPdbFirstModuleStream + plan.Modules().size());
  std::vector<std::string> streams = FixedStreams(
      map, image, id, sections, plan, names,
      frameData.empty() || frameDataStream >= pdb::kNoStream ? pdb::kNoStream : static_cast<uint16_t>(frameDataStream));
  std::vector<uint64_t> sizes;
  for (const std::string& s : streams) sizes.push_back(s.size());
  for (const PdbModule& m : plan.Modules()) sizes.push_back(m.StreamSize());
  if (!frameData.empty() && frameDataStream < pdb::kNoStream) sizes.push_back(frameData.size());

  // The second: the bytes.
  MsfWriter writer(std::move(sizes), write);
  for (std::size_t s = 0; s < streams.size(); ++s) {
    writer.Append(static_cast<uint32_t>(s), streams[s]);
    std::string().swap(streams[s]);
  }
  PdbModuleStreamWriter modules(plan, writer);
  WalkPdbModules(map, imageBase, sections, modules);
  modules.Finish();
  if (!frameData.empty() && frameDataStream < pdb::kNoStream) writer.Append(frameDataStream, frameData);
  writer.Finish();
}

}  // namespace qf
