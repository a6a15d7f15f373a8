// The readable names of mangled names: worked examples of Borland's scheme
// (most taken from the C++Builder 6 MAP file in tests/data), Itanium names
// through the run-time, names that stay as they are, and every code public of
// the real file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "map/SymbolMap.h"
#include "names/Demangle.h"
#include "TestFiles.h"

namespace qf {
namespace {

struct NameCase {
  const char* linker;
  const char* full;
  const char* shortName;  // nullptr: as full
};

const NameCase kNames[] = {
    {"@memchr$qpxviui", "memchr(const void *, int, unsigned int)", "memchr"},
    {"@TForm1@Button11Click$qqrp14System@TObject", "__fastcall TForm1::Button11Click(System::TObject *)",
     "TForm1::Button11Click"},
    {"@WinMain$qqspvt1pci", "__stdcall WinMain(void *, void *, char *, int)", "WinMain"},
    {"@SALPHAGRAPH@TACFASTSUM24@BLENDBITMAPS$QV", "__pascal SALPHAGRAPH::TACFASTSUM24::BLENDBITMAPS()",
     "SALPHAGRAPH::TACFASTSUM24::BLENDBITMAPS"},
    {"@Sysinit@@GetTls$qqrv", "__fastcall Sysinit::__linkproc__ GetTls()", "Sysinit::__linkproc__ GetTls"},
    {"@@Unit1@Initialize", "__linkproc__ Unit1::Initialize", nullptr},
    {"@Variants@_16395", "Variants::_16395", nullptr},
    {"@Jvhidcontrollerclass@TJvHidDevice@", "vtable for Jvhidcontrollerclass::TJvHidDevice", nullptr},
    {"@Sysutils@Exception@$bctr$qrx18Sysutils@Exception",
     "Sysutils::Exception::Exception(const Sysutils::Exception &)", "Sysutils::Exception::Exception"},
    {"@Shdocvw_tlb@TCppShellBrowserWindow@$bdtr$qqrv",
     "__fastcall Shdocvw_tlb::TCppShellBrowserWindow::~TCppShellBrowserWindow()",
     "Shdocvw_tlb::TCppShellBrowserWindow::~TCppShellBrowserWindow"},
    {"@Classes@TThread@$bcctr$qqrv", "__fastcall Classes::TThread::__class_ctor()", "Classes::TThread::__class_ctor"},
    {"@$bnew$qui", "operator new(unsigned int)", "operator new"},
    {"@$bdla$qpv", "operator delete[](void *)", "operator delete[]"},
    {"@System@Variant@$oi$xqqrv", "__fastcall System::Variant::operator int() const", "System::Variant::operator int"},
    {"@System@%OpenArray$14System@TVarRec%@$op14System@TVarRec$qqrv",
     "__fastcall System::OpenArray<System::TVarRec>::operator System::TVarRec *()",
     "System::OpenArray<System::TVarRec>::operator System::TVarRec *"},
    {"@System@%Set$t18Dialogs@TMsgDlgBtn$iuc$0$iuc$10%@$blsh$qqrx18Dialogs@TMsgDlgBtn",
     "__fastcall System::Set<Dialogs::TMsgDlgBtn, 0, 10>::operator <<(const Dialogs::TMsgDlgBtn)",
     "System::Set<Dialogs::TMsgDlgBtn, 0, 10>::operator <<"},
    {"@Shdocvw_tlb@TCppWebBrowser@ConnectTo$qqr83%TComInterface$24Shdocvw_tlb@IWebBrowser2px5_GUID$e&@Shdocvw_tlb@"
     "IID_IWebBrowser2$%",
     "__fastcall Shdocvw_tlb::TCppWebBrowser::ConnectTo(TComInterface<Shdocvw_tlb::IWebBrowser2, const _GUID *, "
     "&Shdocvw_tlb::IID_IWebBrowser2>)",
     "Shdocvw_tlb::TCppWebBrowser::ConnectTo"},
    {"@Extctrls@TTimer@SetOnTimer$qqrynpqqrp14System@TObject$v",
     "__fastcall Extctrls::TTimer::SetOnTimer(void (__fastcall __closure *)(System::TObject *))",
     "Extctrls::TTimer::SetOnTimer"},
    {"@Typinfo@GetPropInfos$qqrp17Typinfo@TTypeInfopa16380$p17Typinfo@TPropInfo",
     "__fastcall Typinfo::GetPropInfos(Typinfo::TTypeInfo *, Typinfo::TPropInfo *(*)[16380])",
     "Typinfo::GetPropInfos"},
    {"@$xt$18Sysutils@Exception", "__tpdsc__ Sysutils::Exception", nullptr},
    {"@$xt$p35System@%OpenArray$14System@TVarRec%", "__tpdsc__ System::OpenArray<System::TVarRec> *", nullptr},
    {"@$xt$a2$p7TForm22", "__tpdsc__ TForm22 *[2]", nullptr},
    // Forms the file does not hold, worked out from the type codes.
    {"@f$qpa3$a4$zc", "f(signed char (*)[3][4])", "f"},
    {"@f$qM1Aqqsxzcus$v", "f(void (__stdcall A::*)(const signed char, unsigned short))", "f"},
    {"@f$qM1Ai", "f(int A::*)", "f"},
    {"@f$qhwuj", "f(volatile unsigned __int64 &&)", "f"},
    {"@f$qbsfgoe", "f(wchar_t, short, float, long double, bool, ...)", "f"},
    {"@f$qiiiiiiiiicccccccccct9tat1",
     "f(int, int, int, int, int, int, int, int, int, char, char, char, char, char, char, char, char, char, char, int, "
     "char, int)",
     "f"},
    {"@%max$i%$qii$i", "int max<int>(int, int)", "max<int>"},
    {"@f$qqrv$pqv$i", "int (*__fastcall f())()", "f"},
    // Itanium names (the i686 underscore too).
    {"_ZN6System7TObject4FreeEv", "System::TObject::Free()", "System::TObject::Free"},
    {"__ZNK3Foo3barERKSt6vectorIiSaIiEE", "Foo::bar(std::vector<int, std::allocator<int> > const&) const", "Foo::bar"},
};

// Names that are not mangled, or not whole: each stays exactly as it is.
const char* const kKept[] = {
    "@GetMem", "@LStrAsg", "@C1_0", "@", "Sysutils.Exception.Create", "System::AnsiString::sprintf(const char *, ...)",
    "_main", "WinMain", "@A@f$qqrp14System@TObj", "@A@f$qz", "@A@f$q", "@A@$bfoo$qv", "@A@@", "@f$qvi", "@f$qt1",
    "@f$qa3$qv$v", "@_$CHAF$@WinMain$qqspvt1pci", "@#$cf$@Shdocvw_tlb@TCppWebBrowser@OptParam", "_Zfoo", "_Z",
};

TEST(DemangleTest, WorkedExamples) {
  for (const NameCase& c : kNames) {
    EXPECT_TRUE(LooksMangled(c.linker)) << c.linker;
    EXPECT_EQ(DemangleName(c.linker), c.full) << c.linker;
    EXPECT_EQ(DemangleName(c.linker, DemangleStyle::Short), c.shortName ? c.shortName : c.full) << c.linker;
  }
}

TEST(DemangleTest, KeepsWhatItCannotReadWhole) {
  for (const char* name : kKept) {
    EXPECT_EQ(DemangleName(name), name);
    EXPECT_EQ(DemangleName(name, DemangleStyle::Short), name);
  }
}

// Every code public of the C++Builder 6 file demangles but the lone labels
// ("@C1_0"), which stay; none comes out half read.
TEST(DemangleTest, EveryCodePublicOfCppBuilder6) {
  const std::string path = std::string(QF_REALMAPS_MODERN_DIR) + "/WangGangNameZebei-Project1.map";
  ASSERT_TRUE(test::Readable(path)) << path;
  std::size_t publics = 0, mangled = 0, demangled = 0;
  std::vector<std::string> examples;
  SymbolMap::Load(path).ForEachCodePublic([&](uint64_t, std::string_view name, uint64_t) {
    ++publics;
    const std::string full = DemangleName(name);
    if (!LooksMangled(name)) {
      EXPECT_EQ(full, name);
      return;
    }
    ++mangled;
    if (full == name) {
      EXPECT_EQ(name.find_first_of("@$", 1), std::string_view::npos) << "not a lone label: " << name;
      return;
    }
    ++demangled;
    EXPECT_EQ(full.find_first_of("@$%"), std::string::npos) << name << " -> " << full;
    EXPECT_NE(full.find(DemangleName(name, DemangleStyle::Short)), std::string::npos) << name;
    if (demangled % 1500 == 0) examples.push_back(std::string(name) + "  ->  " + full);
  });
  EXPECT_GT(publics, 15000u);
  EXPECT_GT(demangled * 100, mangled * 98);
  std::printf("%zu code publics, %zu look mangled, %zu demangled (%.2f%%), the other %zu lone labels kept\n",
              publics, mangled, demangled, 100.0 * static_cast<double>(demangled) / static_cast<double>(mangled),
              mangled - demangled);
  for (const std::string& e : examples) std::printf("  %s\n", e.c_str());
}

}  // namespace
}  // namespace qf
