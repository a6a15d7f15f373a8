// The file drop target, registered for a real window with the real OLE and
// driven through its IDropTarget operations with real data objects: the
// shell's own (from the desktop folder's GetUIObjectOf) and a test object
// carrying hand-built CF_HDROP blocks.
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestDataObject.h"
#include "U_DragDrop.h"
#include "U_Utils.h"
#include "UniqueHandle.h"
#include "WinTestSupport.h"

namespace qf {
namespace {

using test::TestDataObject;
using Names = std::vector<std::string>;

bool RunningOnWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A plain top-level window (a static control would let the cursor's hit test
// pass through it to the window beneath).
UniqueWindow MakeWindow() {
  static const ATOM windowClass = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.lpszClassName = L"QuillfenDropTestWindow";
    return RegisterClassW(&wc);
  }();
  const auto className = reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(windowClass));
  return UniqueWindow(CreateWindowExW(0, className, L"drop", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                      nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
}

// The shell's data object for files of one folder, as a drag from Explorer
// delivers it.
class ShellSelection {
 public:
  ShellSelection(const std::wstring& folder, const std::vector<std::wstring>& names) {
    IShellFolder* desktop = nullptr;
    if (FAILED(SHGetDesktopFolder(&desktop))) return;
    PIDLIST_ABSOLUTE folderId = ILCreateFromPathW(folder.c_str());
    IShellFolder* parent = nullptr;
    if (folderId) {
      desktop->BindToObject(folderId, nullptr, IID_IShellFolder, reinterpret_cast<void**>(&parent));
    }
    desktop->Release();
    ILFree(folderId);
    if (!parent) return;
    for (const std::wstring& name : names) {
      PIDLIST_RELATIVE child = nullptr;
      std::wstring text = name;
      if (SUCCEEDED(
              parent->ParseDisplayName(nullptr, nullptr, &text[0], nullptr, &child, nullptr))) {
        children_.push_back(reinterpret_cast<PCUITEMID_CHILD>(child));
      }
    }
    if (children_.size() == names.size()) {
      parent->GetUIObjectOf(nullptr, static_cast<UINT>(children_.size()), children_.data(),
                            IID_IDataObject, nullptr, reinterpret_cast<void**>(&data_));
    }
    parent->Release();
  }
  ~ShellSelection() {
    if (data_) data_->Release();
    for (PCUITEMID_CHILD child : children_) CoTaskMemFree(const_cast<ITEMID_CHILD*>(child));
  }
  ShellSelection(const ShellSelection&) = delete;
  ShellSelection& operator=(const ShellSelection&) = delete;

  IDataObject* Data() const { return data_; }

 private:
  std::vector<PCUITEMID_CHILD> children_;
  IDataObject* data_ = nullptr;
};

class DropTargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window_) << "no window: run the tests with a display (xvfb-run)";
    target_ = RegisterFileDrop(window_.get(), &list_, [this](TMyDropTarget* sender) {
      ++calls_;
      sender_ = sender;
      namesAtCall_ = list_;
    });
    ASSERT_NE(target_, nullptr);
  }
  void TearDown() override {
    if (target_) RevokeFileDrop(window_.get());
  }

  // Drops the data with the given offered effect; the effect reported back.
  DWORD DropOn(TMyDropTarget* target, IDataObject* data, DWORD offered = DROPEFFECT_COPY) {
    DWORD effect = offered;
    EXPECT_EQ(target->Drop(data, MK_LBUTTON, POINTL{10, 10}, &effect), S_OK);
    return effect;
  }
  DWORD DropOn(IDataObject* data, DWORD offered = DROPEFFECT_COPY) {
    return DropOn(target_, data, offered);
  }

  static TestDataObject FilesObject(const std::vector<std::wstring>& names, bool wide = true) {
    TestDataObject data;
    data.Offer(CF_HDROP, test::DropFilesBlock(names, wide));
    return data;
  }

  UniqueWindow window_ = MakeWindow();
  Names list_;
  TMyDropTarget* target_ = nullptr;
  int calls_ = 0;
  TMyDropTarget* sender_ = nullptr;
  Names namesAtCall_;
};

TEST_F(DropTargetTest, AnswersOnlyForIUnknownAndIDropTarget) {
  const struct {
    const IID* iid;
    HRESULT expected;
  } cases[] = {{&IID_IUnknown, S_OK},
               {&IID_IDropTarget, S_OK},
               {&IID_IDataObject, E_NOINTERFACE},
               {&IID_IMarshal, E_NOINTERFACE},
               {&IID_IDropSource, E_NOINTERFACE}};
  for (const auto& c : cases) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(target_->QueryInterface(*c.iid, &object), c.expected);
    if (c.expected == S_OK) {
      EXPECT_EQ(object, static_cast<IDropTarget*>(target_));
      static_cast<IUnknown*>(object)->Release();
    } else {
      EXPECT_EQ(object, nullptr);
    }
  }
  EXPECT_EQ(target_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(DropTargetTest, ThreeFilesFromTheShellAreAppendedInOrderAndNotifiedOnce) {
  test::ScratchFolder scratch;
  const std::vector<std::wstring> names = {L"b one.map", L"a two.txt", L"c three.MAP"};
  Names expected;
  for (const std::wstring& name : names)
    expected.push_back(WideToAnsi(scratch.WriteFile(name, "x")));
  const ShellSelection selection(scratch.Path(), names);
  ASSERT_NE(selection.Data(), nullptr);

  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  EXPECT_EQ(target_->DragEnter(selection.Data(), MK_LBUTTON, POINTL{1, 1}, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  EXPECT_EQ(DropOn(selection.Data(), DROPEFFECT_COPY | DROPEFFECT_MOVE),
            static_cast<DWORD>(DROPEFFECT_COPY));

  EXPECT_EQ(list_, expected);
  EXPECT_EQ(calls_, 1);
  EXPECT_EQ(sender_, target_);
  EXPECT_EQ(namesAtCall_, expected);  // the names are in place when the handler runs
}

TEST_F(DropTargetTest, NamesGoBehindThoseTheListHolds) {
  for (const bool wide : {true, false}) {
    SCOPED_TRACE(wide ? "wide block" : "ANSI block");
    list_ = {"C:\\old\\first.map", "C:\\old\\second.map"};
    calls_ = 0;
    TestDataObject data = FilesObject({L"C:\\new\\x.map", L"C:\\new\\y.txt"}, wide);
    DropOn(&data);
    EXPECT_EQ(list_, (Names{"C:\\old\\first.map", "C:\\old\\second.map", "C:\\new\\x.map",
                            "C:\\new\\y.txt"}));
    EXPECT_EQ(calls_, 1);
  }
}

TEST_F(DropTargetTest, TextOnlyDragShowsCopyButDropsNothing) {
  TestDataObject data;
  data.Offer(CF_TEXT, {'h', 'i', '\0'});
  list_ = {"kept"};
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_LINK;
  EXPECT_EQ(target_->DragEnter(&data, 0, POINTL{}, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  effect = DROPEFFECT_COPY;
  EXPECT_EQ(target_->DragOver(0, POINTL{}, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  EXPECT_EQ(DropOn(&data), static_cast<DWORD>(DROPEFFECT_COPY));
  EXPECT_EQ(data.getDataCalls, 1);
  EXPECT_EQ(list_, Names{"kept"});
  EXPECT_EQ(calls_, 0);
  EXPECT_EQ(target_->DragLeave(), S_OK);
}

TEST_F(DropTargetTest, EffectIsCopyExactlyWhenTheCopyBitIsOffered) {
  const struct {
    DWORD offered;
    DWORD expected;
  } cases[] = {
      {DROPEFFECT_COPY, DROPEFFECT_COPY},
      {DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_COPY},
      {DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK, DROPEFFECT_COPY},
      {DROPEFFECT_COPY | DROPEFFECT_SCROLL, DROPEFFECT_COPY},
      {DROPEFFECT_MOVE, DROPEFFECT_NONE},
      {DROPEFFECT_LINK, DROPEFFECT_NONE},
      {DROPEFFECT_MOVE | DROPEFFECT_LINK, DROPEFFECT_NONE},
      {DROPEFFECT_NONE, DROPEFFECT_NONE},
  };
  TestDataObject data;
  data.Offer(CF_TEXT, {'\0'});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offered);
    DWORD effect = c.offered;
    EXPECT_EQ(target_->DragEnter(&data, 0, POINTL{}, &effect), S_OK);
    EXPECT_EQ(effect, c.expected);
    effect = c.offered;
    EXPECT_EQ(target_->DragOver(MK_CONTROL, POINTL{5, 5}, &effect), S_OK);
    EXPECT_EQ(effect, c.expected);
    EXPECT_EQ(DropOn(&data, c.offered), c.expected);
  }
}

// The number of files the system reads from a CF_HDROP block.
UINT ReportedCount(const std::vector<char>& block) {
  UniqueGlobal memory(GlobalAlloc(GMEM_MOVEABLE, block.size()));
  std::memcpy(GlobalLock(memory.get()), block.data(), block.size());
  GlobalUnlock(memory.get());
  return DragQueryFileA(static_cast<HDROP>(memory.get()), 0xFFFFFFFF, nullptr, 0);
}

// The handler is called when the system reports at least one file. Windows
// reports none for an empty list; Wine reports one file with an empty name,
// which is skipped, so that there the handler runs with nothing added.
TEST_F(DropTargetTest, DropHandleIsFreedWithOrWithoutFiles) {
  for (const bool wide : {true, false}) {
    for (const auto& names :
         {std::vector<std::wstring>{}, std::vector<std::wstring>{L"C:\\a.map"}}) {
      SCOPED_TRACE(testing::Message() << names.size() << (wide ? " wide" : " ANSI"));
      calls_ = 0;
      list_ = {"kept"};
      TestDataObject data = FilesObject(names, wide);
      DropOn(&data);
      ASSERT_NE(data.lastHandle, nullptr);
      EXPECT_EQ(GlobalFlags(data.lastHandle), static_cast<UINT>(GMEM_INVALID_HANDLE));
      EXPECT_EQ(list_.size(), 1 + names.size());
      const UINT reported = ReportedCount(test::DropFilesBlock(names, wide));
      EXPECT_EQ(reported, names.empty() && !RunningOnWine() ? 0u : 1u);
      EXPECT_EQ(calls_, reported > 0 ? 1 : 0);
    }
  }
}

// A source that keeps the memory (a release object in the medium) gets its
// release object back; the block itself is the source's to free.
TEST_F(DropTargetTest, MemoryKeptByTheSourceIsReleasedNotFreed) {
  TestDataObject data = FilesObject({L"C:\\kept\\a.map"});
  data.SetMedium(TestDataObject::Medium::KeptBySource);
  DropOn(&data);
  EXPECT_EQ(list_, Names{"C:\\kept\\a.map"});
  EXPECT_EQ(data.keeper.references, 1);
  EXPECT_NE(GlobalFlags(data.lastHandle), static_cast<UINT>(GMEM_INVALID_HANDLE));
}

// A source that answers the CF_HDROP request with a stream instead of global
// memory offers no file list; the stream goes back to OLE.
TEST_F(DropTargetTest, AnotherMediumIsReleasedUnread) {
  TestDataObject data = FilesObject({L"C:\\a.map"});
  data.SetMedium(TestDataObject::Medium::Stream);
  DropOn(&data);
  EXPECT_TRUE(list_.empty());
  EXPECT_EQ(calls_, 0);
  ASSERT_NE(data.lastStream, nullptr);
  EXPECT_EQ(data.lastStream->AddRef(), 2u);  // the test's and the new one
  data.lastStream->Release();
}

TEST_F(DropTargetTest, WithoutHandlerTheListIsStillFilled) {
  target_->OnFilesDropped = nullptr;
  TestDataObject data = FilesObject({L"C:\\a.map", L"C:\\b.map"});
  DropOn(&data);
  EXPECT_EQ(list_, (Names{"C:\\a.map", "C:\\b.map"}));
}

TEST_F(DropTargetTest, SecondRegistrationFailsAndTheFirstKeepsWorking) {
  const long destroyed = TMyDropTarget::Destructions();
  Names otherList;
  EXPECT_EQ(RegisterFileDrop(window_.get(), &otherList, nullptr), nullptr);
  EXPECT_EQ(TMyDropTarget::Destructions(), destroyed + 1);  // the rejected one

  TestDataObject data = FilesObject({L"C:\\a.map"});
  DropOn(&data);
  EXPECT_EQ(list_, Names{"C:\\a.map"});
  EXPECT_EQ(calls_, 1);
  EXPECT_TRUE(otherList.empty());
}

TEST_F(DropTargetTest, RevocationDestroysTheTarget) {
  const long destroyed = TMyDropTarget::Destructions();
  EXPECT_TRUE(RevokeFileDrop(window_.get()));
  target_ = nullptr;
  EXPECT_EQ(TMyDropTarget::Destructions(), destroyed + 1);
  EXPECT_FALSE(RevokeFileDrop(window_.get()));

  // The window can be registered again; a window that is no window cannot.
  ASSERT_NE(RegisterFileDrop(window_.get(), &list_, nullptr), nullptr);
  EXPECT_TRUE(RevokeFileDrop(window_.get()));
  EXPECT_EQ(RegisterFileDrop(nullptr, &list_, nullptr), nullptr);
  EXPECT_FALSE(RevokeFileDrop(nullptr));
  EXPECT_EQ(TMyDropTarget::Destructions(), destroyed + 3);
}

// The handler may end the registration itself (its window going away); the
// target stays alive until Drop has returned.
TEST_F(DropTargetTest, HandlerThatRevokesInsideDrop) {
  const long destroyed = TMyDropTarget::Destructions();
  target_->OnFilesDropped = [this, destroyed](TMyDropTarget*) {
    EXPECT_TRUE(RevokeFileDrop(window_.get()));
    EXPECT_EQ(TMyDropTarget::Destructions(), destroyed);
  };
  TestDataObject data = FilesObject({L"C:\\a.map"});
  DropOn(std::exchange(target_, nullptr), &data);
  EXPECT_EQ(TMyDropTarget::Destructions(), destroyed + 1);
  EXPECT_EQ(list_, Names{"C:\\a.map"});
}

struct NotAnException {};

TEST_F(DropTargetTest, HandlerErrorsAreCaughtInsideDropAndReported) {
  Names reports;
  const DropErrorHandler collect = [&reports](const std::exception& e) {
    reports.push_back(e.what());
  };
  const DropErrorHandler rethrow = [](const std::exception&) { throw std::logic_error("again"); };
  const struct {
    const char* name;
    std::function<void()> raise;
    DropErrorHandler reporter;
    Names expectedReports;
  } cases[] = {
      {"std::exception",
       [] { throw std::runtime_error("Impossible d'ouvrir le fichier"); },
       collect,
       {"Impossible d'ouvrir le fichier"}},
      {"foreign object", [] { throw NotAnException{}; }, collect, {"Erreur inconnue"}},
      {"no reporter", [] { throw std::runtime_error("lost"); }, nullptr, {}},
      {"reporter throws too", [] { throw std::runtime_error("first"); }, rethrow, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    list_.clear();
    reports.clear();
    target_->OnFilesDropped = [&c](TMyDropTarget*) { c.raise(); };
    target_->OnError = c.reporter;
    TestDataObject data = FilesObject({L"C:\\a.map"});
    EXPECT_EQ(DropOn(&data, DROPEFFECT_COPY | DROPEFFECT_MOVE),
              static_cast<DWORD>(DROPEFFECT_COPY));
    EXPECT_EQ(list_, Names{"C:\\a.map"});
    EXPECT_EQ(reports, c.expectedReports);
  }
}

// A drop source that lets go at once: OLE's own drag loop then finds the
// window under the cursor and drives its registered target.
class ImmediateDropSource : public IDropSource {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDropSource)) {
      *object = static_cast<IDropSource*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL escape, DWORD) override {
    if (escape) return DRAGDROP_S_CANCEL;
    return ++polls > 2 ? DRAGDROP_S_DROP : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD effect) override {
    feedback.push_back(effect);
    return DRAGDROP_S_USEDEFAULTCURSORS;
  }
  int polls = 0;
  std::vector<DWORD> feedback;  // the effects the target showed during the drag
};

TEST_F(DropTargetTest, OleDragLoopDeliversTheDropToTheRegisteredWindow) {
  SetWindowPos(window_.get(), HWND_TOPMOST, 100, 100, 300, 200, SWP_SHOWWINDOW);
  UpdateWindow(window_.get());
  RECT frame{};
  GetWindowRect(window_.get(), &frame);
  SetCursorPos((frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2);

  TestDataObject data = FilesObject({L"C:\\dragged\\a.map", L"C:\\dragged\\b.txt"});
  ImmediateDropSource source;
  DWORD effect = DROPEFFECT_NONE;
  const HRESULT result = DoDragDrop(&data, &source, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect);
  EXPECT_EQ(result, DRAGDROP_S_DROP);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  EXPECT_EQ(list_, (Names{"C:\\dragged\\a.map", "C:\\dragged\\b.txt"}));
  EXPECT_EQ(calls_, 1);
  ASSERT_FALSE(source.feedback.empty());
  for (const DWORD shown : source.feedback) EXPECT_EQ(shown, static_cast<DWORD>(DROPEFFECT_COPY));
}

}  // namespace
}  // namespace qf
