{ FpcRaise.exe DUMPFILE WHAT TYPE: raises through Free Pascal's run-time,
  WHAT convert: EConvertError (StrToInt of 'abc') from TWorker.Convert,
  called by Run, called by the program; WHAT open: EFOpenError (a
  TFileStream of a missing file) from TWorker.Open, called by Load. A
  vectored exception handler writes the dump at the first chance of the
  run-time's exception (0xE0465043) with MiniDumpWriteDump (TYPE 0:
  MiniDumpNormal, 2: MiniDumpWithFullMemory) and exits with 42. }
program FpcRaise;

{$mode delphi}

uses SysUtils, Classes, Windows;

type
  TMinidumpExceptionInformation = record
    ThreadId: DWORD;
    ExceptionPointers: Pointer;
    ClientPointers: BOOL;
  end;

  TWorker = class
    function Convert(const Text: string): Integer;
    function Open(const Name: string): Int64;
  end;

function AddVectoredExceptionHandler(First: ULONG; Handler: Pointer): Pointer; stdcall; external 'kernel32.dll';
function MiniDumpWriteDump(Process: THandle; ProcessId: DWORD; FileHandle: THandle; DumpType: DWORD;
  ExceptionParam, UserStreamParam, CallbackParam: Pointer): BOOL; stdcall; external 'dbghelp.dll';

var
  DumpFile: string;
  DumpKind: DWORD;

function OnException(Info: PEXCEPTION_POINTERS): LONG; stdcall;
var
  Handle: THandle;
  Exc: TMinidumpExceptionInformation;
begin
  Result := 0;
  if Info^.ExceptionRecord^.ExceptionCode <> $E0465043 then Exit;
  Handle := CreateFileA(PChar(DumpFile), GENERIC_WRITE, 0, nil, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
  Exc.ThreadId := GetCurrentThreadId;
  Exc.ExceptionPointers := Info;
  Exc.ClientPointers := False;
  if (Handle = INVALID_HANDLE_VALUE) or
     not MiniDumpWriteDump(GetCurrentProcess, GetCurrentProcessId, Handle, DumpKind, @Exc, nil, nil) then
    ExitProcess(43);
  CloseHandle(Handle);
  WriteLn('thread ', GetCurrentThreadId);
  WriteLn('raise 0x', IntToHex(Info^.ExceptionRecord^.ExceptionInformation[0], 8));
  WriteLn('object 0x', IntToHex(Info^.ExceptionRecord^.ExceptionInformation[1], 8));
  WriteLn('message 0x', IntToHex(PPtrUInt(Info^.ExceptionRecord^.ExceptionInformation[1] + 4)^, 8));
  Flush(Output);
  ExitProcess(42);
end;

function TWorker.Convert(const Text: string): Integer;
begin
  Result := StrToInt(Text) + 1;
end;

function TWorker.Open(const Name: string): Int64;
var
  Stream: TFileStream;
begin
  Stream := TFileStream.Create(Name, fmOpenRead);
  Result := Stream.Size;
  Stream.Free;
end;

function Load(const Name: string): Int64;
var
  Worker: TWorker;
begin
  Worker := TWorker.Create;
  Result := Worker.Open(Name) + 1;
  Worker.Free;
end;

function Run(const Text: string): Integer;
var
  Worker: TWorker;
begin
  Worker := TWorker.Create;
  Result := Worker.Convert(Text) * 2;
  Worker.Free;
end;

begin
  DumpFile := ParamStr(1);
  DumpKind := StrToIntDef(ParamStr(3), 0);
  AddVectoredExceptionHandler(1, @OnException);
  if ParamStr(2) = 'open' then
    WriteLn(Load('C:\missing.ini'))
  else
    WriteLn(Run('abc'));
end.
