; The NSIS peer: an uninstaller doing the same job as the tool.
; makensis builds an installer whose only work is WriteUninstaller; run once, it writes the
; uninstaller that the benchmark measures (an NSIS uninstaller cannot be emitted directly).
;
; NSIS titles every MessageBox with the current language's uninstaller caption and reads that
; caption only before and after un.onInit. So the caption of the first language table is the
; confirmation title and, once Yes is chosen, un.onInit switches $LANGUAGE to a second table
; whose caption is the completion title. No plugin is needed, so none is unpacked at run time.
Unicode true

!ifndef OUTFILE
  !define OUTFILE "peer-setup.exe"
!endif

Name "Orvandel"
OutFile "${OUTFILE}"
SilentInstall silent
SilentUnInstall silent
RequestExecutionLevel admin

; First table: also the fallback when the system language matches neither.
LoadLanguageFile "${NSISDIR}\Contrib\Language files\SimpChinese.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\TradChinese.nlf"
LangString ^UninstallCaption ${LANG_SIMPCHINESE} "确认御载"
LangString ^UninstallCaption ${LANG_TRADCHINESE} "御载"

Section
  WriteUninstaller "$EXEDIR\peer-uninstall.exe"
SectionEnd

Function un.onInit
  MessageBox MB_YESNO|MB_ICONQUESTION "你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，想先做好备份的话，请选否。" IDYES confirmed
  SetErrorLevel 1
  Quit
confirmed:
  StrCpy $LANGUAGE ${LANG_TRADCHINESE}
FunctionEnd

Section "Uninstall"
  ; DeleteRegKey removes the key with its subkeys.
  DeleteRegKey HKCR "*\shell\Orvandel"
  DeleteRegKey HKCR "Folder\shell\Orvandel"
  DeleteRegKey HKLM "password"
  ; $INSTDIR is the folder the uninstaller was started from, even after it restarts from its temporary copy.
  Delete "$INSTDIR\Kembrasil.ocx"
  Delete "$INSTDIR\vantorix.ocx"
  Delete "$INSTDIR\PRELDA32.OCX"
  Delete "$INSTDIR\tolvane.dat"
  Delete "$INSTDIR\Orvandel.exe"
  Delete "$INSTDIR\marrowin.dat"
  Delete "$INSTDIR\sarnoth.txt"
  Delete "$INSTDIR\TIMBRAL.txt"
  MessageBox MB_OK "已经成功御载！"
SectionEnd
