// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/waveaudio/mci_messages.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace platform::mci {
namespace {

struct ErrorText {
  MCIERROR code;
  const char* text;
};

// Every code of the Windows MCI range has its text, also those this device
// never returns (their Windows names stand beside them).
constexpr ErrorText kErrorTexts[] = {
    {0, "エラーはありません。コマンドは正常に実行されました。"},
    {MCIERR_BASE + 1, "デバイス ID が正しくありません。"},  // INVALID_DEVICE_ID
    {MCIERR_UNRECOGNIZED_KEYWORD, "コマンドに認識できないパラメータがあります。"},
    {MCIERR_UNRECOGNIZED_COMMAND, "認識できないコマンドです。"},
    {MCIERR_BASE + 6, "デバイスに問題があります。デバイスが正しく動作しているか調べてください。"},  // HARDWARE
    {MCIERR_INVALID_DEVICE_NAME, "指定されたデバイスは開かれていないか、認識できません。"},
    {MCIERR_OUT_OF_MEMORY, "この操作を実行するためのメモリが足りません。"},
    {MCIERR_DEVICE_OPEN, "そのデバイス名は既に使われています。別の名前を指定してください。"},
    {MCIERR_CANNOT_LOAD_DRIVER, "デバイス ドライバを読み込めません。"},
    {MCIERR_MISSING_COMMAND_STRING, "コマンドが指定されていません。"},
    {MCIERR_PARAM_OVERFLOW, "コマンドまたは返される文字列が長すぎます。"},
    {MCIERR_BASE + 13, "文字列のパラメータが指定されていません。"},  // MISSING_STRING_ARGUMENT
    {MCIERR_BAD_INTEGER, "指定された整数が正しくありません。"},
    {MCIERR_BASE + 15, "コマンドの解析中に内部エラーが発生しました。"},  // PARSER_INTERNAL
    {MCIERR_BASE + 16, "デバイス ドライバで内部エラーが発生しました。"},  // DRIVER_INTERNAL
    {MCIERR_MISSING_PARAMETER, "コマンドに必要なパラメータが指定されていません。"},
    {MCIERR_UNSUPPORTED_FUNCTION, "このデバイスはこのコマンドを実行できません。"},
    {MCIERR_FILE_NOT_FOUND, "指定されたファイルが見つかりません。パスとファイル名を確かめてください。"},
    {MCIERR_BASE + 20, "デバイスの準備ができていません。"},  // DEVICE_NOT_READY
    {MCIERR_INTERNAL, "デバイスの初期化中に問題が発生しました。"},
    {MCIERR_BASE + 22, "デバイス ドライバでエラーが発生しました。"},  // DRIVER
    {MCIERR_CANNOT_USE_ALL, "このコマンドではデバイス名に all を使えません。"},
    {MCIERR_BASE + 24, "複数のデバイスでエラーが発生しました。"},  // MULTIPLE
    {MCIERR_EXTENSION_NOT_FOUND, "ファイルの拡張子からデバイスの種類を決められません。"},
    {MCIERR_OUTOFRANGE, "指定された値が範囲外です。"},
    {MCIERR_FLAGS_NOT_COMPATIBLE, "同時には指定できないパラメータが指定されています。"},
    {MCIERR_FILE_NOT_SAVED, "ファイルを保存できません。フォルダとファイル名、書き込みの権限を確かめてください。"},
    {MCIERR_DEVICE_TYPE_REQUIRED, "デバイスの種類を指定してください。"},
    {MCIERR_BASE + 32, "デバイスは使用中です。しばらく待ってからやり直してください。"},  // DEVICE_LOCKED
    {MCIERR_DUPLICATE_ALIAS, "その別名は既に使われています。別の名前を指定してください。"},
    {MCIERR_BASE + 34, "パラメータの値が正しくありません。"},  // BAD_CONSTANT
    {MCIERR_BASE + 35, "このデバイスは共有モードでしか開けません。"},  // MUST_USE_SHAREABLE
    {MCIERR_MISSING_DEVICE_NAME, "デバイス名が指定されていません。"},
    {MCIERR_BASE + 37, "時間の形式が正しくありません。"},  // BAD_TIME_FORMAT
    {MCIERR_NO_CLOSING_QUOTE, "閉じる二重引用符がありません。"},
    {MCIERR_DUPLICATE_FLAGS, "同じパラメータが二度指定されています。"},
    {MCIERR_INVALID_FILE, "指定されたファイルはこのデバイスでは扱えない形式です。"},
    {MCIERR_NULL_PARAMETER_BLOCK, "コマンドが渡されませんでした。"},
    {MCIERR_BASE + 42, "名前のないファイルは保存できません。"},  // UNNAMED_RESOURCE
    {MCIERR_NEW_REQUIRES_ALIAS, "new を使うときは別名を指定してください。"},
    {MCIERR_BASE + 44, "自動で開いたデバイスには notify を使えません。"},  // NOTIFY_ON_AUTO_OPEN
    {MCIERR_BASE + 45, "このデバイスにはファイル名を指定できません。"},  // NO_ELEMENT_ALLOWED
    {MCIERR_BASE + 46, "今の状態ではこのコマンドを実行できません。"},  // NONAPPLICABLE_FUNCTION
    {MCIERR_BASE + 47, "自動で開いたデバイスにはこのコマンドを使えません。"},  // ILLEGAL_FOR_AUTO_OPEN
    {MCIERR_FILENAME_REQUIRED, "ファイル名を指定してください。"},
    {MCIERR_EXTRA_CHARACTERS, "二重引用符で囲んだ文字列の後に余分な文字があります。"},
    {MCIERR_BASE + 50, "デバイスがインストールされていません。"},  // DEVICE_NOT_INSTALLED
    {MCIERR_BASE + 51, "指定されたフォルダにアクセスできません。"},  // GET_CD
    {MCIERR_BASE + 52, "指定されたフォルダにアクセスできません。"},  // SET_CD
    {MCIERR_BASE + 53, "指定されたドライブにアクセスできません。"},  // SET_DRIVE
    {MCIERR_BASE + 54, "デバイス名またはドライバ名が長すぎます。"},  // DEVICE_LENGTH
    {MCIERR_BASE + 55, "デバイス名またはドライバ名が長すぎます。"},  // DEVICE_ORD_LENGTH
    {MCIERR_BASE + 56, "このコマンドには整数のパラメータが必要です。"},  // NO_INTEGER
    {MCIERR_BASE + 64, "再生に使える Wave デバイスはすべて使用中です。"},  // WAVE_OUTPUTSINUSE
    {MCIERR_BASE + 65, "再生用の Wave デバイスは使用中です。"},  // WAVE_SETOUTPUTINUSE
    {MCIERR_WAVE_INPUTSINUSE, "録音に使える Wave デバイスはすべて使用中です。しばらく待ってからやり直してください。"},
    {MCIERR_BASE + 67, "録音用の Wave デバイスは使用中です。"},  // WAVE_SETINPUTINUSE
    {MCIERR_BASE + 68, "再生用の Wave デバイスが決まっていません。"},  // WAVE_OUTPUTUNSPECIFIED
    {MCIERR_BASE + 69, "録音用の Wave デバイスが決まっていません。"},  // WAVE_INPUTUNSPECIFIED
    {MCIERR_BASE + 70, "この形式で再生できる Wave デバイスがありません。"},  // WAVE_OUTPUTSUNSUITABLE
    {MCIERR_BASE + 71, "再生用の Wave デバイスはこの形式を扱えません。"},  // WAVE_SETOUTPUTUNSUITABLE
    {MCIERR_BASE + 72, "この形式で録音できる Wave デバイスがありません。"},  // WAVE_INPUTSUNSUITABLE
    {MCIERR_BASE + 73, "録音用の Wave デバイスはこの形式を扱えません。"},  // WAVE_SETINPUTUNSUITABLE
    {MCIERR_BASE + 90, "表示用のウィンドウがありません。"},  // NO_WINDOW
    {MCIERR_BASE + 91, "ウィンドウを作成できません。"},  // CREATEWINDOW
    {MCIERR_FILE_READ, "ファイルを読み込めません。ファイルが存在し、読み取れるか確かめてください。"},
    {MCIERR_FILE_WRITE, "ファイルに書き込めません。ディスクに空きがあるか調べてください。"},
    {MCIERR_BASE + 94, "デバイスを識別できません。"},  // NO_IDENTITY
};

constexpr const char* kUnknownErrorText = "不明なエラーです。";

}  // namespace

const char* errorText(MCIERROR code, bool* known) {
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) {
      if (known) *known = true;
      return e.text;
    }
  }
  if (known) *known = false;
  return kUnknownErrorText;
}

BOOL errorString(MCIERROR code, char* text, uint32_t length) {
  if (!text || length == 0) return 0;
  bool known = false;
  const char* src = errorText(code, &known);
  std::size_t n = std::min<std::size_t>(std::strlen(src), length - 1);
  // Never cut a character in half.
  while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
  std::memcpy(text, src, n);
  text[n] = '\0';
  return known ? 1 : 0;
}

}  // namespace platform::mci
