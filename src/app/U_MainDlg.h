// The main window: load a MAP file (open dialog, drop, or the database
// browser), type a crash address, press Search, read the answer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AppEvents.h"
#include "ControlIds.h"
#include "Form.h"
#include "Menus.h"
#include "OpenDialog.h"
#include "ResourceIds.h"
#include "StdControls.h"

namespace qf {

class TMapDB;
class TMapFile;
class TMyDropTarget;

class TMainDlg : public TForm {
 public:
  TMainDlg();
  ~TMainDlg() override;

  // Components, in creation order (which is also the tab order).
  TGroupBox map_grp{*this, {IDC_MAIN_MAP_GRP, {0, 0, 337, 84}, "MAP File"}};
  TLabel stats_lbl{map_grp, {IDC_MAIN_STATS_LBL, {8, 61, 321, 17}, "", true, false}};
  TButton load_btn{map_grp, {IDC_MAIN_LOAD_BTN, {8, 15, 137, 41}, "Load MAP File", IDI_LOAD}};
  TButton db_btn{map_grp, {IDC_MAIN_DB_BTN, {152, 15, 145, 41}, "MAP Database", IDI_DB}};
  TGroupBox crash_grp{*this, {IDC_MAIN_CRASH_GRP, {0, 88, 337, 89}, "Crash"}};
  TGroupBox addr_grp{crash_grp, {IDC_MAIN_ADDR_GRP, {8, 17, 185, 60}, "Crash Address"}};
  TEdit addr_txt{addr_grp, {IDC_MAIN_ADDR_TXT, {8, 16, 162, 21}, ""}};
  TLabel help_lbl{addr_grp, {IDC_MAIN_HELP_LBL, {8, 41, 76, 13}, "ie : 0x0045894F"}};
  TButton search_btn{crash_grp, {IDC_MAIN_SEARCH_BTN, {199, 30, 130, 43}, "Search", IDI_SEARCH}};
  TButton help_btn{*this, {IDC_MAIN_HELP_BTN, {0, 183, 337, 41}, "Online Help File", IDI_HELP}};
  TAppEvents AppEvt;
  TOpenDialog JOD{*this, {"MAP File|*.map"}};
  TMainMenu MainMenu{*this};
  TMenuItem File1{MainMenu, {0, "&File"}};
  TMenuItem Quit1{File1, {IDM_MAIN_QUIT, "Quit"}};
  TMenuItem N1{MainMenu, {0, "?"}};
  TMenuItem Help1{N1, {IDM_MAIN_HELP, "Help"}};
  TMenuItem N2{N1, {0, "-"}};
  TMenuItem About1{N1, {IDM_MAIN_ABOUT, "About..."}};

  // Loads the file into the line table and reports in stats_lbl, the prefix
  // (when not empty) and " : " in front. Empties the address box first. An
  // error of the load (a file that cannot be read) passes to the caller.
  void LoadMapFile(const std::string& fileName, const std::string& prefix);

  // Event handlers.
  void AppEvtActivate(TComponent* sender);
  void FormDestroy(TComponent* sender);
  void load_btnClick(TComponent* sender);
  void search_btnClick(TComponent* sender);
  void db_btnClick(TComponent* sender);
  void Quit1Click(TComponent* sender);
  void About1Click(TComponent* sender);
  void Help1Click(TComponent* sender);

  // What the first activation creates; null before it and after FormDestroy.
  const std::vector<std::string>* DroppedFiles() const { return FDroppedFiles.get(); }
  const TMapFile* MapFile() const { return FMapFile.get(); }
  TMapDB* MapDB() const { return FMapDB.get(); }

 private:
  // The drop target's handler: loads the first dropped name if it is a .map file.
  void FilesDropped(TMyDropTarget* sender);

  std::unique_ptr<std::vector<std::string>> FDroppedFiles;
  std::unique_ptr<TMapFile> FMapFile;
  std::unique_ptr<TMapDB> FMapDB;
};

// The main window, while it exists (the program's first form).
extern TMainDlg* MainDlg;

}  // namespace qf
