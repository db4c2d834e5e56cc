<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>CAddressListCtrl</name>
    <message>
        <source>名前</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>アドレス</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>メール</source>
        <translation>Mail</translation>
    </message>
    <message>
        <source>コメント</source>
        <translation>Comment</translation>
    </message>
    <message>
        <source>ふり仮名</source>
        <translation>Reading</translation>
    </message>
</context>
<context>
    <name>CCameraView</name>
    <message>
        <source>プロパティ</source>
        <translation>Properties</translation>
    </message>
</context>
<context>
    <name>CCapterDlg</name>
    <message>
        <source>ウインドウ共有</source>
        <translation>Window sharing</translation>
    </message>
</context>
<context>
    <name>CChatDlg</name>
    <message>
        <source>文字チャット</source>
        <translation>Text chat</translation>
    </message>
</context>
<context>
    <name>CDlgAddressUpdate</name>
    <message>
        <source>アドレス帳</source>
        <translation>Address book</translation>
    </message>
    <message>
        <source>ふり仮名：</source>
        <translation>Reading:</translation>
    </message>
    <message>
        <source>名前：</source>
        <translation>Name:</translation>
    </message>
    <message>
        <source>アドレス：</source>
        <translation>Address:</translation>
    </message>
    <message>
        <source>メールアドレス：</source>
        <translation>Mail address:</translation>
    </message>
    <message>
        <source>パスワード：</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>コメント：</source>
        <translation>Comment:</translation>
    </message>
    <message>
        <source>（全角文字で入力してください）</source>
        <translation>(in full-width characters)</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>名前かアドレスを入力してください。</source>
        <translation>Enter a name or an address.</translation>
    </message>
</context>
<context>
    <name>CDlgConnect</name>
    <message>
        <source>接続の承諾</source>
        <translation>Approve connection</translation>
    </message>
    <message>
        <source>%1 さんがログインしました</source>
        <translation>%1 has logged in</translation>
    </message>
    <message>
        <source>接続を承諾するときは&#x3000;「承諾する」&#x3000;を押してください</source>
        <translation>To accept the connection, press &quot;Accept&quot;</translation>
    </message>
    <message>
        <source>拒否したいときは、理由を選んで&#x3000;「断る」&#x3000;を押してください</source>
        <translation>To refuse it, choose a reason and press &quot;Refuse&quot;</translation>
    </message>
    <message>
        <source>現在会話不可能</source>
        <translation>Cannot talk now</translation>
    </message>
    <message>
        <source>後でこちらから連絡します</source>
        <translation>I will get back to you later</translation>
    </message>
    <message>
        <source>ただいま多忙</source>
        <translation>Busy at the moment</translation>
    </message>
    <message>
        <source>承諾する</source>
        <translation>Accept</translation>
    </message>
    <message>
        <source>断る</source>
        <translation>Refuse</translation>
    </message>
</context>
<context>
    <name>CDlgMicTest</name>
    <message>
        <source>マイクのテスト</source>
        <translation>Microphone test</translation>
    </message>
    <message>
        <source>マイクに向かって話すと音量が表示されます。
無音の設定では１５秒間何もしゃべらずにお待ちください。</source>
        <translation>Speak into the microphone to see its level.
For the silence setting, wait 15 seconds without speaking.</translation>
    </message>
    <message>
        <source>無音の設定</source>
        <translation>Set silence</translation>
    </message>
    <message>
        <source>オートゲイン</source>
        <translation>Auto gain</translation>
    </message>
    <message>
        <source>終了</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>入力レベル</source>
        <translation>Input level</translation>
    </message>
    <message>
        <source>無音レベル</source>
        <translation>Silence level</translation>
    </message>
    <message>
        <source>１５秒間ほど何もしゃべらずに
しばらくお待ちください。</source>
        <translation>Please wait about 15 seconds
without speaking.</translation>
    </message>
    <message>
        <source>無音の設定が完了しました。</source>
        <translation>The silence setting is done.</translation>
    </message>
    <message>
        <source>マイクから音が届きませんでした。
マイクの接続と設定を確かめてください。</source>
        <translation>No sound came from the microphone.
Check its connection and settings.</translation>
    </message>
</context>
<context>
    <name>CFtpStat</name>
    <message>
        <source>ファイル転送の状況</source>
        <translation>File transfer</translation>
    </message>
    <message>
        <source>ファイルをダウンロード中です</source>
        <translation>The file is being downloaded</translation>
    </message>
    <message>
        <source>しばらくお待ちください</source>
        <translation>Please wait a moment</translation>
    </message>
    <message>
        <source>ダウンロードを中止する場合は</source>
        <translation>To stop the download,</translation>
    </message>
    <message>
        <source>「キャンセル」のボタンを押してください</source>
        <translation>press the &quot;Cancel&quot; button</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>0 / %1 バイト</source>
        <translation>0 / %1 bytes</translation>
    </message>
    <message>
        <source>%1 / %2 バイト  %3 KB/s</source>
        <translation>%1 / %2 bytes  %3 KB/s</translation>
    </message>
</context>
<context>
    <name>CHalvoDlg</name>
    <message>
        <source>クリックするとマイクをミュートしたり戻したりします。右クリックでマイクの設定を開きます</source>
        <translation>Click to mute or unmute the microphone. Right-click to open the microphone settings</translation>
    </message>
    <message>
        <source>メインウインドウを隠してタスクトレイに入れます</source>
        <translation>Hides the main window in the system tray</translation>
    </message>
    <message>
        <source>ほかのソラネムに接続します</source>
        <translation>Connects to another Morvika</translation>
    </message>
    <message>
        <source>文字チャットのウインドウを開閉します</source>
        <translation>Opens or closes the text chat window</translation>
    </message>
    <message>
        <source>共有ファイルのウインドウを開閉します</source>
        <translation>Opens or closes the shared files window</translation>
    </message>
    <message>
        <source>自分のウインドウを相手に見せます</source>
        <translation>Shows your window to the others</translation>
    </message>
    <message>
        <source>ボタンをクリックするとその説明を表示します</source>
        <translation>Click a button to see what it does</translation>
    </message>
    <message>
        <source>ポート %1 で待ち受けできないため、ほかの人から接続できません（%2）</source>
        <translation>Nobody can connect to you: port %1 cannot be listened on (%2)</translation>
    </message>
    <message>
        <source>ホスト</source>
        <translation>Host</translation>
    </message>
    <message>
        <source>開く</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>常駐を解除し終了</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>ソラネムを終了</source>
        <translation>Quit Morvika</translation>
    </message>
    <message>
        <source>常駐を解除し、終了します。</source>
        <translation>Morvika will quit.</translation>
    </message>
    <message>
        <source>ウインドウをタイル状に整列</source>
        <translation>Tile the windows</translation>
    </message>
    <message>
        <source>バージョン情報</source>
        <translation>About</translation>
    </message>
    <message>
        <source>プロパティ</source>
        <translation>Properties</translation>
    </message>
    <message>
        <source>ソラネムについて</source>
        <translation>About Morvika</translation>
    </message>
    <message>
        <source>終了</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>はい</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>いいえ</source>
        <translation>No</translation>
    </message>
    <message>
        <source>クリックするとカメラ映像の送信を止めたり再開したりします</source>
        <translation>Click to stop or resume sending the camera picture</translation>
    </message>
    <message>
        <source>ウインドウ共有 (送信中)</source>
        <translation>Window sharing (sending)</translation>
    </message>
    <message>
        <source>ウインドウの共有には X11 のセッションが必要です。X11 のデスクトップでログインし直してください。</source>
        <translation>Window sharing needs an X11 session. Log in to an X11 desktop again.</translation>
    </message>
    <message>
        <source>ウインドウ共有</source>
        <translation>Window sharing</translation>
    </message>
    <message>
        <source>ウインドウ共有 - </source>
        <translation>Window sharing - </translation>
    </message>
    <message>
        <source>ソラネム</source>
        <translation>Morvika</translation>
    </message>
    <message>
        <source>%1
接続先: %2</source>
        <translation>%1
Join at: %2</translation>
    </message>
    <message>
        <source>%1 (Morvika) %2.%3.%4.%5
ほかの人が接続できるアドレス: %6</source>
        <translation>%1 %2.%3.%4.%5
The address others can join: %6</translation>
    </message>
    <message>
        <source>ウインドウの共有には画面共有ポータル (xdg-desktop-portal と、デスクトップに合ったそのバックエンド) が必要です。インストールしてからログインし直してください。</source>
        <translation>Window sharing needs the desktop&apos;s screen sharing portal (xdg-desktop-portal with the back end for your desktop). Install it, then log in again.</translation>
    </message>
    <message>
        <source>ウインドウの共有を始められません（%1）</source>
        <translation>Window sharing cannot start (%1)</translation>
    </message>
    <message>
        <source>%1  %2  %3 人</source>
        <translation>%1  %2  %3 present</translation>
    </message>
    <message>
        <source>ヘルプのページが見つかりません（%1）。</source>
        <translation>The help page was not found (%1).</translation>
    </message>
    <message>
        <source>ヘルプのページを開けません。ブラウザで %1 を開いてください。</source>
        <translation>The help page cannot be opened. Open %1 in a web browser.</translation>
    </message>
</context>
<context>
    <name>CJpegControl</name>
    <message>
        <source>カメラ画像のプロパティ</source>
        <translation>Camera picture properties</translation>
    </message>
    <message>
        <source>圧縮方式</source>
        <translation>Compression</translation>
    </message>
    <message>
        <source>画質優先</source>
        <translation>Picture quality first</translation>
    </message>
    <message>
        <source>動き優先</source>
        <translation>Motion first</translation>
    </message>
    <message>
        <source>CPUに依存</source>
        <translation>Depends on the CPU</translation>
    </message>
    <message>
        <source>貼り付ける画像を選ぶ</source>
        <translation>Choose a picture to paste</translation>
    </message>
    <message>
        <source>適用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>コマ数 (毎秒)</source>
        <translation>Frames (per second)</translation>
    </message>
    <message>
        <source>画質</source>
        <translation>Quality</translation>
    </message>
    <message>
        <source>画像ファイル (*.jpg *.jpeg)</source>
        <translation>Picture files (*.jpg *.jpeg)</translation>
    </message>
    <message>
        <source>「%1」は1MBを超えるため、この画面では使えません。自分のウインドウの「静止画の選択」なら送れます。</source>
        <translation>&quot;%1&quot; is larger than 1 MB and cannot be used on this page. Choose it with &quot;Choose a still picture&quot; in your own window to send it.</translation>
    </message>
</context>
<context>
    <name>CLoginDlg</name>
    <message>
        <source>記号</source>
        <translation>Misc</translation>
    </message>
    <message>
        <source>ログイン</source>
        <translation>Login</translation>
    </message>
    <message>
        <source>あ</source>
        <translation>あ</translation>
    </message>
    <message>
        <source>Ａ</source>
        <translation>A</translation>
    </message>
    <message>
        <source>アドレス：</source>
        <translation>Address:</translation>
    </message>
    <message>
        <source>パスワード：</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>コメント：</source>
        <translation>Comment:</translation>
    </message>
    <message>
        <source>新規</source>
        <translation>New</translation>
    </message>
    <message>
        <source>編集</source>
        <translation>Edit</translation>
    </message>
    <message>
        <source>削除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>メール送信</source>
        <translation>Send mail</translation>
    </message>
    <message>
        <source>接続</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>近くのユーザ</source>
        <translation>Nearby users</translation>
    </message>
    <message>
        <source>アドレス帳に追加</source>
        <translation>Add to address book</translation>
    </message>
    <message>
        <source>接続先のアドレスを入力するか、アドレス帳から選んでください。</source>
        <translation>Enter the address to connect to, or choose it from the address book.</translation>
    </message>
</context>
<context>
    <name>CMainPropertyPageDevice</name>
    <message>
        <source>カメラとマイクとスピーカ</source>
        <translation>Camera, microphone and speaker</translation>
    </message>
    <message>
        <source>カメラ：</source>
        <translation>Camera:</translation>
    </message>
    <message>
        <source>マイク：</source>
        <translation>Microphone:</translation>
    </message>
    <message>
        <source>スピーカ：</source>
        <translation>Speaker:</translation>
    </message>
    <message>
        <source>カメラなし</source>
        <translation>No camera</translation>
    </message>
</context>
<context>
    <name>CMainPropertyPageFinish</name>
    <message>
        <source>バージョン情報</source>
        <translation>About</translation>
    </message>
    <message>
        <source>ソラネム (Morvika) %1.%2.%3.%4

設定が終わりました。「完了」を押してください。</source>
        <translation>Morvika %1.%2.%3.%4

The settings are done. Press &quot;Finish&quot;.</translation>
    </message>
</context>
<context>
    <name>CMainPropertyPageStart</name>
    <message>
        <source>基本設定</source>
        <translation>General</translation>
    </message>
    <message>
        <source>ユーザ名：</source>
        <translation>User name:</translation>
    </message>
    <message>
        <source>パスワード：</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>言語（次回の起動から）：</source>
        <translation>Language (from the next start):</translation>
    </message>
    <message>
        <source>「接続の承諾」の画面を表示する</source>
        <translation>Show the &quot;Approve connection&quot; dialog</translation>
    </message>
    <message>
        <source>接続の要求があれば必ず表示する</source>
        <translation>Always, for every connection request</translation>
    </message>
    <message>
        <source>アイコンのときだけ表示する</source>
        <translation>Only while hidden in the tray</translation>
    </message>
    <message>
        <source>メッセージ音を出す</source>
        <translation>Play notification sounds</translation>
    </message>
    <message>
        <source>常に手前に表示する</source>
        <translation>Always on top</translation>
    </message>
    <message>
        <source>ルータのポートを自動で開く (UPnP / NAT-PMP)</source>
        <translation>Open the router&apos;s port automatically (UPnP / NAT-PMP)</translation>
    </message>
    <message>
        <source>ほかの人が接続できるアドレス: </source>
        <translation>The address others can join: </translation>
    </message>
</context>
<context>
    <name>CMainPropertySeet</name>
    <message>
        <source>%1のプロパティ</source>
        <translation>%1 properties</translation>
    </message>
    <message>
        <source>ソラネム</source>
        <translation>Morvika</translation>
    </message>
    <message>
        <source>&lt; 戻る(&amp;B)</source>
        <translation>&lt; &amp;Back</translation>
    </message>
    <message>
        <source>次へ(&amp;N) &gt;</source>
        <translation>&amp;Next &gt;</translation>
    </message>
    <message>
        <source>完了</source>
        <translation>Finish</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>適用(&amp;A)</source>
        <translation>&amp;Apply</translation>
    </message>
</context>
<context>
    <name>CMicControl</name>
    <message>
        <source>低速回線</source>
        <translation>Slow line</translation>
    </message>
    <message>
        <source>一般ブロード回線</source>
        <translation>Ordinary broadband</translation>
    </message>
    <message>
        <source>社内ＬＡＮまたは光回線</source>
        <translation>Office LAN or fibre</translation>
    </message>
    <message>
        <source>ＣＤ並みの音声品質</source>
        <translation>CD-like sound quality</translation>
    </message>
    <message>
        <source>マイクの設定</source>
        <translation>Microphone settings</translation>
    </message>
    <message>
        <source>音声品質</source>
        <translation>Sound quality</translation>
    </message>
    <message>
        <source>自動ゲイン</source>
        <translation>Automatic gain</translation>
    </message>
    <message>
        <source>マイクの音量</source>
        <translation>Microphone volume</translation>
    </message>
    <message>
        <source>大</source>
        <translation>Loud</translation>
    </message>
    <message>
        <source>小</source>
        <translation>Soft</translation>
    </message>
    <message>
        <source>ミュート</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>サンプリング周波数</source>
        <translation>Sampling rate</translation>
    </message>
    <message>
        <source>マイクのテスト</source>
        <translation>Microphone test</translation>
    </message>
    <message>
        <source>適用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>エコーキャンセル</source>
        <translation>Echo cancellation</translation>
    </message>
    <message>
        <source>ノイズ抑制</source>
        <translation>Noise suppression</translation>
    </message>
</context>
<context>
    <name>CPageClientCapter</name>
    <message>
        <source>明るさ</source>
        <translation>Brightness</translation>
    </message>
</context>
<context>
    <name>CPageClientMicVolume</name>
    <message>
        <source>ミュート</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>大</source>
        <translation>Loud</translation>
    </message>
    <message>
        <source>小</source>
        <translation>Soft</translation>
    </message>
    <message>
        <source>スピーカーの音量</source>
        <translation>Speaker volume</translation>
    </message>
</context>
<context>
    <name>CPlayBoiceView</name>
    <message>
        <source>現在会話不可能</source>
        <translation>Cannot talk now</translation>
    </message>
    <message>
        <source>後でこちらから連絡します</source>
        <translation>I will get back to you later</translation>
    </message>
    <message>
        <source>ただいま多忙</source>
        <translation>Busy at the moment</translation>
    </message>
    <message>
        <source>相手が不在のようです</source>
        <translation>Nobody seems to be there</translation>
    </message>
    <message>
        <source>パスワードが違います</source>
        <translation>The password is wrong</translation>
    </message>
    <message>
        <source>相手が接続を拒否しました</source>
        <translation>The connection was refused</translation>
    </message>
    <message>
        <source>接続先 %1 の鍵が記録と違います。
記録: %2
今回: %3
パスワードは送っていません。</source>
        <translation>The key of %1 differs from the one on record.
On record: %2
This time: %3
The password was not sent.</translation>
    </message>
    <message>
        <source>自身への接続はできません</source>
        <translation>You cannot connect to yourself</translation>
    </message>
    <message>
        <source>接続</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>

新しい鍵を信頼して接続し直しますか？
相手が鍵を作り直したことを確かめられたときだけ「はい」を押してください。</source>
        <translation>

Trust the new key and connect again?
Press &quot;Yes&quot; only when you know the host made a new key.</translation>
    </message>
    <message>
        <source>ログイン</source>
        <translation>Login</translation>
    </message>
    <message>
        <source>相手は他の接続の処理中です。しばらくしてから接続し直してください</source>
        <translation>The other side is busy with other connections. Please connect again in a while</translation>
    </message>
    <message>
        <source>パスワードの誤りが続いたため、しばらく接続できません</source>
        <translation>Too many wrong passwords: you cannot connect for a while</translation>
    </message>
    <message>
        <source>ホスト名「%1」が見つかりません。アドレスを確かめてください。</source>
        <translation>The host name &quot;%1&quot; was not found. Check the address.</translation>
    </message>
    <message>
        <source>%1 では接続を待っているソラネムがありません。相手が起動しているか、アドレスとポートが正しいかを確かめてください。</source>
        <translation>Nothing answers at %1. Check that the other program is running and that the address and port are right.</translation>
    </message>
    <message>
        <source>%1 から決められた時間内に応答がありませんでした。</source>
        <translation>%1 did not answer within the time allowed.</translation>
    </message>
    <message>
        <source>%1 との接続が、参加する前に切れました。</source>
        <translation>The connection to %1 ended before joining.</translation>
    </message>
    <message>
        <source>%1 さん（%2）のセッションから切断されました。</source>
        <translation>%1 (%2) removed you from the session.</translation>
    </message>
    <message>
        <source>%1 さん（%2）がセッションを終了しました。</source>
        <translation>%1 (%2) ended the session.</translation>
    </message>
    <message>
        <source>%1 さん（%2）との接続が切れました。相手のソラネムが終了したか、ネットワークが途切れました。</source>
        <translation>The connection to %1 (%2) was lost: the other program ended or the network failed.</translation>
    </message>
    <message>
        <source>セッション終了</source>
        <translation>Session ended</translation>
    </message>
    <message>
        <source>%1 のソラネムとは版が違うため接続できません。</source>
        <translation>The program at %1 is of another version and cannot be joined.</translation>
    </message>
    <message>
        <source>%1 で待ち受けているのはソラネムのセッションではありません。</source>
        <translation>What listens at %1 is not a session of this program.</translation>
    </message>
</context>
<context>
    <name>CSharesListDlg</name>
    <message>
        <source>読み取り専用</source>
        <translation>Read-only</translation>
    </message>
    <message>
        <source>共有ファイル</source>
        <translation>Shared files</translation>
    </message>
    <message>
        <source>名前</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>サイズ</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>アクセス権</source>
        <translation>Access</translation>
    </message>
    <message>
        <source>所有者</source>
        <translation>Owner</translation>
    </message>
    <message>
        <source>ファイル</source>
        <translation>File</translation>
    </message>
    <message>
        <source>追加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>開く</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>削除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>編集</source>
        <translation>Edit</translation>
    </message>
    <message>
        <source>貼り付け</source>
        <translation>Paste</translation>
    </message>
    <message>
        <source>表示</source>
        <translation>View</translation>
    </message>
    <message>
        <source>アイコン</source>
        <translation>Icons</translation>
    </message>
    <message>
        <source>一覧</source>
        <translation>List</translation>
    </message>
    <message>
        <source>詳細</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>ファイルの追加</source>
        <translation>Add a file</translation>
    </message>
    <message>
        <source>すべてのファイル (*)</source>
        <translation>All files (*)</translation>
    </message>
    <message>
        <source>%1: ファイルが見つかりません</source>
        <translation>%1: the file was not found</translation>
    </message>
    <message>
        <source>%1: フォルダは共有できません</source>
        <translation>%1: folders cannot be shared</translation>
    </message>
    <message>
        <source>%1: 普通のファイルではありません</source>
        <translation>%1: not a regular file</translation>
    </message>
    <message>
        <source>%1: 2 MiB（2,097,152 バイト）より大きいファイルは共有できません</source>
        <translation>%1: files larger than 2 MiB (2,097,152 bytes) cannot be shared</translation>
    </message>
    <message>
        <source>%1: 読み取りが許されていません</source>
        <translation>%1: reading it is not permitted</translation>
    </message>
    <message>
        <source>%1: 共有できません</source>
        <translation>%1: cannot be shared</translation>
    </message>
    <message>
        <source>「%1」を受け取れませんでした。%2 さんはもうこのファイルを共有していません。</source>
        <translation>&quot;%1&quot; could not be received: %2 no longer shares this file.</translation>
    </message>
    <message>
        <source>「%1」を受け取れませんでした。%2 さんの側でファイルが削除されたか、読めなくなりました。</source>
        <translation>&quot;%1&quot; could not be received: %2&apos;s file was deleted or can no longer be read.</translation>
    </message>
    <message>
        <source>「%1」を受け取れませんでした。%2 さんの側でファイルが大きくなりすぎて送れません。</source>
        <translation>&quot;%1&quot; could not be received: %2&apos;s file has grown too large to send.</translation>
    </message>
    <message>
        <source>「%1」を受け取れませんでした。%2 さんの側でファイルが空になっています。</source>
        <translation>&quot;%1&quot; could not be received: %2&apos;s file is empty now.</translation>
    </message>
    <message>
        <source>「%1」を受け取れませんでした。%2 さんがファイルを送れませんでした。</source>
        <translation>&quot;%1&quot; could not be received: %2 could not send the file.</translation>
    </message>
    <message>
        <source>次のファイルは共有できません。</source>
        <translation>These files cannot be shared:</translation>
    </message>
    <message>
        <source>「%1」のダウンロードを中止しました。持ち主の %2 さんがセッションから抜けました。</source>
        <translation>The download of &quot;%1&quot; was stopped: its owner %2 left the session.</translation>
    </message>
    <message>
        <source>「%1」は届きましたが、一時フォルダに保存できませんでした。</source>
        <translation>&quot;%1&quot; arrived but could not be stored in the temporary folder.</translation>
    </message>
</context>
<context>
    <name>CStillImage</name>
    <message>
        <source>画像ファイル (*.jpg *.jpeg)</source>
        <translation>Picture files (*.jpg *.jpeg)</translation>
    </message>
    <message>
        <source>静止画の選択</source>
        <translation>Choose a still picture</translation>
    </message>
    <message>
        <source>「%1」は画像として読み込めませんでした。</source>
        <translation>&quot;%1&quot; could not be read as a picture.</translation>
    </message>
</context>
<context>
    <name>CUserWndObject</name>
    <message>
        <source>このユーザとの接続を切ります</source>
        <translation>Disconnects this user</translation>
    </message>
    <message>
        <source>ウインドウの大きさを切り替えます</source>
        <translation>Changes the window size</translation>
    </message>
    <message>
        <source>このユーザの声の音量</source>
        <translation>This user&apos;s voice volume</translation>
    </message>
    <message>
        <source>ウインドウ 大</source>
        <translation>Large window</translation>
    </message>
    <message>
        <source>ウインドウ 中</source>
        <translation>Medium window</translation>
    </message>
    <message>
        <source>ウインドウ 小</source>
        <translation>Small window</translation>
    </message>
    <message>
        <source>フルスクリーン</source>
        <translation>Full screen</translation>
    </message>
    <message>
        <source>アイコン 大</source>
        <translation>Large icon</translation>
    </message>
    <message>
        <source>アイコン 小</source>
        <translation>Small icon</translation>
    </message>
    <message>
        <source>コピー</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>貼り付け</source>
        <translation>Paste</translation>
    </message>
    <message>
        <source>静止画の選択</source>
        <translation>Choose a still picture</translation>
    </message>
    <message>
        <source>カメラ画像に戻す</source>
        <translation>Back to the camera picture</translation>
    </message>
    <message>
        <source>プロパティ</source>
        <translation>Properties</translation>
    </message>
    <message>
        <source>スピーカー</source>
        <translation>Speaker</translation>
    </message>
    <message>
        <source>画像</source>
        <translation>Picture</translation>
    </message>
</context>
<context>
    <name>CWndObject</name>
    <message>
        <source>ウインドウ 大</source>
        <translation>Large window</translation>
    </message>
    <message>
        <source>ウインドウ 中</source>
        <translation>Medium window</translation>
    </message>
    <message>
        <source>ウインドウ 小</source>
        <translation>Small window</translation>
    </message>
    <message>
        <source>アイコン 大</source>
        <translation>Large icon</translation>
    </message>
    <message>
        <source>アイコン 小</source>
        <translation>Small icon</translation>
    </message>
</context>
</TS>
