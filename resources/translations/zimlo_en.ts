<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>AudioSource</name>
    <message>
        <source>电脑声音</source>
        <translation>Computer sound</translation>
    </message>
    <message>
        <source>麦克风声音</source>
        <translation>Microphone sound</translation>
    </message>
</context>
<context>
    <name>CameraWindowFlow</name>
    <message>
        <source>正在请求摄像头权限…</source>
        <translation>Asking for camera access…</translation>
    </message>
    <message>
        <source>摄像头权限未开启，已打开系统授权页面</source>
        <translation>Camera access is off; the system&apos;s permission settings are open</translation>
    </message>
    <message>
        <source>当前设备限制了摄像头访问，已打开系统授权页面</source>
        <translation>This device restricts camera access; the system&apos;s permission settings are open</translation>
    </message>
    <message>
        <source>正在开启摄像头…</source>
        <translation>Starting the camera…</translation>
    </message>
    <message>
        <source>没有画面</source>
        <translation>no picture</translation>
    </message>
    <message>
        <source>无法开启摄像头：%1</source>
        <translation>Cannot start the camera: %1</translation>
    </message>
    <message>
        <source>摄像头小窗已开启</source>
        <translation>Camera window on</translation>
    </message>
</context>
<context>
    <name>DesktopReveal</name>
    <message>
        <source>没有可以打开这个视频的应用。请安装视频播放器，或用“在文件夹中显示”找到文件：%1</source>
        <translation>No application can open this video. Install a video player, or use &quot;Show in Folder&quot; to find the file: %1</translation>
    </message>
</context>
<context>
    <name>DraftFormatting</name>
    <message>
        <source>今天 %1</source>
        <translation>Today %1</translation>
    </message>
    <message>
        <source>M月d日 HH:mm</source>
        <translation>MMM d, HH:mm</translation>
    </message>
</context>
<context>
    <name>DraftLibrary</name>
    <message>
        <source>没有权限删除其中的文件，草稿未被删除</source>
        <translation>No permission to delete its files; the draft was not deleted</translation>
    </message>
    <message>
        <source>草稿中有其他磁盘的内容，草稿未被删除</source>
        <translation>The draft holds content on another disk; it was not deleted</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
</context>
<context>
    <name>ExportSession</name>
    <message>
        <source>磁盘空间不足</source>
        <translation>The disk is full</translation>
    </message>
    <message>
        <source>无法写入影片</source>
        <translation>Cannot write the movie</translation>
    </message>
    <message>
        <source>无法读取主画面：%1</source>
        <translation>Cannot read the main picture: %1</translation>
    </message>
    <message>
        <source>画面不完整：只写入了 %1 帧，应有约 %2 帧</source>
        <translation>Picture incomplete: only %1 frames were written of about %2</translation>
    </message>
    <message>
        <source>无法完成影片</source>
        <translation>Cannot finish the movie</translation>
    </message>
    <message>
        <source>画面合成失败（%1）</source>
        <translation>Composing the picture failed (%1)</translation>
    </message>
    <message>
        <source>已取消合成</source>
        <translation>Composing cancelled</translation>
    </message>
</context>
<context>
    <name>FollowingExport</name>
    <message>
        <source>无法写入影片</source>
        <translation>Cannot write the movie</translation>
    </message>
    <message>
        <source>缺少主画面视频</source>
        <translation>The main video is missing</translation>
    </message>
    <message>
        <source>无法读取主画面：%1</source>
        <translation>Cannot read the main picture: %1</translation>
    </message>
    <message>
        <source>无法读取音频</source>
        <translation>Cannot read the sound</translation>
    </message>
    <message>
        <source>无法完成影片</source>
        <translation>Cannot finish the movie</translation>
    </message>
    <message>
        <source>无法完成影片：%1</source>
        <translation>Cannot finish the movie: %1</translation>
    </message>
    <message>
        <source>画面合成失败（%1 %2）</source>
        <translation>Composing the picture failed (%1 %2)</translation>
    </message>
    <message>
        <source>无法读取音频：%1</source>
        <translation>Cannot read the sound: %1</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>Unknown error</translation>
    </message>
</context>
<context>
    <name>GlobalShortcuts</name>
    <message>
        <source>全局快捷键 %1 无法使用：需要含 Ctrl、Alt 或 Super 键</source>
        <translation>Global shortcut %1 cannot be used: it needs Ctrl, Alt or Super</translation>
    </message>
    <message>
        <source>全局快捷键 %1 已被其他程序占用，请在“参数”中更换</source>
        <translation>Global shortcut %1 is taken by another program; change it under &quot;Settings&quot;</translation>
    </message>
    <message>
        <source>全局快捷键 %1 无法使用：键盘上没有这个键</source>
        <translation>Global shortcut %1 cannot be used: the keyboard has no such key</translation>
    </message>
    <message>
        <source>暂停的全局快捷键不能与开始/停止的相同</source>
        <translation>The pause shortcut cannot be the same as start/stop</translation>
    </message>
    <message>
        <source>；</source>
        <translation>; </translation>
    </message>
</context>
<context>
    <name>HomeWindowController</name>
    <message>
        <source>已恢复 %1 个意外中断的录制，已存为草稿；另有 %2 个暂未能恢复，下次启动时再试</source>
        <translation>Recovered %1 interrupted recording(s) as drafts; %2 could not be recovered yet and will be tried at the next start</translation>
    </message>
    <message>
        <source>已恢复 %1 个意外中断的录制，已存为草稿</source>
        <translation>Recovered %1 interrupted recording(s) as drafts</translation>
    </message>
    <message>
        <source>有 %1 个意外中断的录制暂未能恢复，下次启动时再试</source>
        <translation>%1 interrupted recording(s) could not be recovered yet; they will be tried at the next start</translation>
    </message>
    <message>
        <source>选择录屏内容</source>
        <translation>Choose What to Record</translation>
    </message>
    <message>
        <source>无法打开视频</source>
        <translation>Cannot open the video</translation>
    </message>
</context>
<context>
    <name>LiveSubtitleTrack</name>
    <message>
        <source>正在请求麦克风权限…</source>
        <translation>Asking for microphone access…</translation>
    </message>
    <message>
        <source>正在请求语音识别权限…</source>
        <translation>Asking for speech recognition access…</translation>
    </message>
    <message>
        <source>字幕已开启</source>
        <translation>Subtitles on</translation>
    </message>
    <message>
        <source>需要麦克风权限才能生成字幕</source>
        <translation>Subtitles need microphone access</translation>
    </message>
    <message>
        <source>需要语音识别权限才能生成字幕</source>
        <translation>Subtitles need speech recognition access</translation>
    </message>
    <message>
        <source>无法开启字幕：%1</source>
        <translation>Cannot turn on subtitles: %1</translation>
    </message>
</context>
<context>
    <name>MediaErrorText</name>
    <message>
        <source>未知错误 %1</source>
        <translation>Unknown error %1</translation>
    </message>
    <message>
        <source>没有这条轨道</source>
        <translation>No such track</translation>
    </message>
    <message>
        <source>没有这条视频轨道</source>
        <translation>No such video track</translation>
    </message>
    <message>
        <source>没有这条音频轨道</source>
        <translation>No such audio track</translation>
    </message>
    <message>
        <source>没有音频轨道</source>
        <translation>No audio tracks</translation>
    </message>
    <message>
        <source>不支持的编码格式 %1</source>
        <translation>Unsupported codec %1</translation>
    </message>
    <message>
        <source>没有影片</source>
        <translation>No movie</translation>
    </message>
    <message>
        <source>不是普通文件</source>
        <translation>Not a regular file</translation>
    </message>
    <message>
        <source>读取影片超时</source>
        <translation>Reading the movie timed out</translation>
    </message>
    <message>
        <source>影片没有视频轨道</source>
        <translation>The movie has no video track</translation>
    </message>
    <message>
        <source>影片中没有可用的画面</source>
        <translation>The movie has no usable picture</translation>
    </message>
    <message>
        <source>无法转换画面格式</source>
        <translation>Cannot convert the picture format</translation>
    </message>
    <message>
        <source>无法转换声音格式</source>
        <translation>Cannot convert the sound format</translation>
    </message>
    <message>
        <source>画面变换无效</source>
        <translation>Invalid picture transform</translation>
    </message>
    <message>
        <source>只能保存 BGRA 画面</source>
        <translation>Only BGRA pictures can be saved</translation>
    </message>
    <message>
        <source>找不到 %1 编码器</source>
        <translation>No %1 encoder found</translation>
    </message>
    <message>
        <source>内存不足</source>
        <translation>Out of memory</translation>
    </message>
    <message>
        <source>无法写入文件</source>
        <translation>Cannot write the file</translation>
    </message>
    <message>
        <source>没有输出文件</source>
        <translation>No output file</translation>
    </message>
    <message>
        <source>画面尺寸无效</source>
        <translation>Invalid picture size</translation>
    </message>
    <message>
        <source>声音格式无效</source>
        <translation>Invalid sound format</translation>
    </message>
    <message>
        <source>缺少格式信息</source>
        <translation>Format information missing</translation>
    </message>
    <message>
        <source>写入已开始，不能再添加轨道</source>
        <translation>Writing has started; no more tracks can be added</translation>
    </message>
    <message>
        <source>没有可写入的轨道</source>
        <translation>No tracks to write</translation>
    </message>
    <message>
        <source>声音的时间戳异常：跳到了画面之后 %1 秒，无法写入</source>
        <translation>Sound time stamps jump %1 s past the picture; cannot write them</translation>
    </message>
    <message>
        <source>影片不能再添加轨道</source>
        <translation>The movie cannot take more tracks</translation>
    </message>
</context>
<context>
    <name>PermissionAlert</name>
    <message>
        <source>需要屏幕录制权限</source>
        <translation>Screen Recording Permission Needed</translation>
    </message>
    <message>
        <source>需要摄像头权限</source>
        <translation>Camera Permission Needed</translation>
    </message>
    <message>
        <source>需要麦克风权限</source>
        <translation>Microphone Permission Needed</translation>
    </message>
    <message>
        <source>需要语音识别权限</source>
        <translation>Speech Recognition Permission Needed</translation>
    </message>
    <message>
        <source>请在系统设置中允许Zimlo录制屏幕。授权后需要重新打开录屏页面。</source>
        <translation>Allow Zimlo to record the screen in the system settings, then open the recording page again.</translation>
    </message>
    <message>
        <source>请在系统设置中允许Zimlo使用摄像头，才能显示前摄小窗口。</source>
        <translation>Allow Zimlo to use the camera in the system settings to show the camera window.</translation>
    </message>
    <message>
        <source>请在系统设置中允许Zimlo使用麦克风，才能录制声音和生成字幕。</source>
        <translation>Allow Zimlo to use the microphone in the system settings to record sound and make subtitles.</translation>
    </message>
    <message>
        <source>请在系统设置中允许Zimlo使用语音识别，才能生成实时字幕。</source>
        <translation>Allow Zimlo to use speech recognition in the system settings to make live subtitles.</translation>
    </message>
    <message>
        <source>去授权</source>
        <translation>Open Settings</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>PlatformErrorText</name>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>无法连接到 X 显示服务器</source>
        <translation>Cannot connect to the X display server</translation>
    </message>
    <message>
        <source>无法连接到 X 显示服务器（%1）</source>
        <translation>Cannot connect to the X display server (%1)</translation>
    </message>
    <message>
        <source>不支持的屏幕像素格式（需要 24 位真彩色）</source>
        <translation>Unsupported screen pixel format (24-bit true colour needed)</translation>
    </message>
    <message>
        <source>找不到要录制的显示器</source>
        <translation>The display to record was not found</translation>
    </message>
    <message>
        <source>X 服务器不支持窗口录制（缺少 Composite 扩展）</source>
        <translation>The X server cannot record windows (no Composite extension)</translation>
    </message>
    <message>
        <source>要录制的窗口已不存在</source>
        <translation>The window to record no longer exists</translation>
    </message>
    <message>
        <source>无法开始录制屏幕内容（X 错误 %1）</source>
        <translation>Cannot start recording the screen (X error %1)</translation>
    </message>
    <message>
        <source>要录制的窗口已关闭</source>
        <translation>The window being recorded was closed</translation>
    </message>
    <message>
        <source>窗口当前不可见</source>
        <translation>The window is not visible</translation>
    </message>
    <message>
        <source>桌面门户不提供屏幕录制（ScreenCast）</source>
        <translation>The desktop portal offers no screen recording (ScreenCast)</translation>
    </message>
    <message>
        <source>桌面门户不支持录制单个窗口</source>
        <translation>The desktop portal cannot record single windows</translation>
    </message>
    <message>
        <source>桌面门户不支持录制整个屏幕</source>
        <translation>The desktop portal cannot record whole screens</translation>
    </message>
    <message>
        <source>屏幕录制未获授权或已取消选择</source>
        <translation>Screen recording was not allowed or the choice was cancelled</translation>
    </message>
    <message>
        <source>桌面门户无法开始屏幕共享</source>
        <translation>The desktop portal cannot start screen sharing</translation>
    </message>
    <message>
        <source>桌面门户无法开始屏幕共享：无法连接 PipeWire</source>
        <translation>The desktop portal cannot start screen sharing: cannot connect to PipeWire</translation>
    </message>
    <message>
        <source>桌面门户无法开始屏幕共享：没有视频流</source>
        <translation>The desktop portal cannot start screen sharing: no video stream</translation>
    </message>
    <message>
        <source>桌面门户没有给出要录制的内容</source>
        <translation>The desktop portal gave nothing to record</translation>
    </message>
    <message>
        <source>无法启动 PipeWire</source>
        <translation>Cannot start PipeWire</translation>
    </message>
    <message>
        <source>无法连接桌面的 PipeWire</source>
        <translation>Cannot connect to the desktop&apos;s PipeWire</translation>
    </message>
    <message>
        <source>无法创建 PipeWire 视频流</source>
        <translation>Cannot create a PipeWire video stream</translation>
    </message>
    <message>
        <source>无法连接屏幕共享的视频流</source>
        <translation>Cannot connect to the screen sharing video stream</translation>
    </message>
    <message>
        <source>屏幕共享出错：%1</source>
        <translation>Screen sharing failed: %1</translation>
    </message>
    <message>
        <source>屏幕共享已结束</source>
        <translation>Screen sharing ended</translation>
    </message>
    <message>
        <source>屏幕共享已被桌面结束</source>
        <translation>The desktop ended screen sharing</translation>
    </message>
    <message>
        <source>屏幕共享没有送来画面</source>
        <translation>Screen sharing sent no picture</translation>
    </message>
    <message>
        <source>录屏已停止</source>
        <translation>Screen recording stopped</translation>
    </message>
    <message>
        <source>无法启动 PulseAudio 客户端</source>
        <translation>Cannot start the PulseAudio client</translation>
    </message>
    <message>
        <source>无法连接 PulseAudio 服务：%1</source>
        <translation>Cannot connect to the PulseAudio server: %1</translation>
    </message>
    <message>
        <source>PulseAudio 没有默认的录音设备</source>
        <translation>PulseAudio has no default input device</translation>
    </message>
    <message>
        <source>不支持的音频格式</source>
        <translation>Unsupported audio format</translation>
    </message>
    <message>
        <source>无法打开录音设备 %1：%2</source>
        <translation>Cannot open the input device %1: %2</translation>
    </message>
    <message>
        <source>(默认)</source>
        <translation>(default)</translation>
    </message>
    <message>
        <source>录音流已结束</source>
        <translation>The input stream ended</translation>
    </message>
    <message>
        <source>声音服务无响应</source>
        <translation>The sound server does not answer</translation>
    </message>
    <message>
        <source>无法打开摄像头 %1</source>
        <translation>Cannot open the camera %1</translation>
    </message>
    <message>
        <source>设备 %1 不是摄像头</source>
        <translation>Device %1 is not a camera</translation>
    </message>
    <message>
        <source>摄像头 %1 没有可用的画面格式</source>
        <translation>Camera %1 has no usable picture format</translation>
    </message>
    <message>
        <source>摄像头未打开</source>
        <translation>The camera is not open</translation>
    </message>
    <message>
        <source>摄像头不支持所选格式</source>
        <translation>The camera does not support the chosen format</translation>
    </message>
    <message>
        <source>无法设置摄像头格式</source>
        <translation>Cannot set the camera format</translation>
    </message>
    <message>
        <source>摄像头正被占用</source>
        <translation>The camera is in use</translation>
    </message>
    <message>
        <source>无法分配摄像头缓冲区</source>
        <translation>Cannot allocate camera buffers</translation>
    </message>
    <message>
        <source>无法映射摄像头缓冲区</source>
        <translation>Cannot map camera buffers</translation>
    </message>
    <message>
        <source>无法使用摄像头缓冲区</source>
        <translation>Cannot use camera buffers</translation>
    </message>
    <message>
        <source>无法启动摄像头</source>
        <translation>Cannot start the camera</translation>
    </message>
    <message>
        <source>ZIMLO_CAPTURE=x11，但没有 X11 显示（DISPLAY 未设置）</source>
        <translation>ZIMLO_CAPTURE=x11, but there is no X11 display (DISPLAY is not set)</translation>
    </message>
    <message>
        <source>ZIMLO_CAPTURE=portal，但桌面门户不提供屏幕录制（ScreenCast）</source>
        <translation>ZIMLO_CAPTURE=portal, but the desktop portal offers no screen recording (ScreenCast)</translation>
    </message>
    <message>
        <source>ZIMLO_CAPTURE 只能是 x11 或 portal，而不是 %1</source>
        <translation>ZIMLO_CAPTURE must be x11 or portal, not %1</translation>
    </message>
    <message>
        <source>Wayland 桌面未提供屏幕录制门户（xdg-desktop-portal 的 ScreenCast），也没有 X11 显示</source>
        <translation>The Wayland desktop offers no screen recording portal (xdg-desktop-portal&apos;s ScreenCast), and there is no X11 display</translation>
    </message>
    <message>
        <source>没有找到图形桌面（既没有 Wayland 也没有 X11 显示）</source>
        <translation>No graphical desktop found (neither a Wayland nor an X11 display)</translation>
    </message>
</context>
<context>
    <name>RecordingFinishPipeline</name>
    <message>
        <source>磁盘空间不足</source>
        <translation>The disk is full</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
    <message>
        <source>正在同步电脑声音和输入设备声音…</source>
        <translation>Syncing the computer sound and the input device…</translation>
    </message>
    <message>
        <source>%1，录制已中断，已保存中断前的录制</source>
        <translation>%1; the recording was cut short, what came before was saved</translation>
    </message>
    <message>
        <source>正在合成视频…</source>
        <translation>Composing the video…</translation>
    </message>
    <message>
        <source>正在写入字幕和画面，请稍候</source>
        <translation>Writing subtitles and picture, please wait</translation>
    </message>
    <message>
        <source>正在处理录制画面，请稍候</source>
        <translation>Processing the recording, please wait</translation>
    </message>
    <message>
        <source>正在合成字幕到视频文件…</source>
        <translation>Composing subtitles into the video…</translation>
    </message>
    <message>
        <source>正在合成视频文件…</source>
        <translation>Composing the video file…</translation>
    </message>
    <message>
        <source>正在取消合成…</source>
        <translation>Cancelling composing…</translation>
    </message>
    <message>
        <source>原始视频不会丢失</source>
        <translation>The original video is not lost</translation>
    </message>
    <message>
        <source>已取消合成，正在保存原始录制…</source>
        <translation>Composing cancelled, saving the original recording…</translation>
    </message>
    <message>
        <source>录制完成，已保存原始视频 · %1</source>
        <translation>Recording finished, original video saved · %1</translation>
    </message>
    <message>
        <source>录制完成，已保存原始视频</source>
        <translation>Recording finished, original video saved</translation>
    </message>
    <message>
        <source>已取消合成，已保存原始录制</source>
        <translation>Composing cancelled, original recording saved</translation>
    </message>
    <message>
        <source>合成失败，正在保存原始录制…</source>
        <translation>Composing failed, saving the original recording…</translation>
    </message>
    <message>
        <source>字幕合成失败，正在保存原始录制…</source>
        <translation>Composing subtitles failed, saving the original recording…</translation>
    </message>
    <message>
        <source>（字幕文件未能写入：%1）</source>
        <translation> (subtitle files not written: %1)</translation>
    </message>
    <message>
        <source>已保存原始录制，字幕合成失败：%1</source>
        <translation>Original recording saved; composing subtitles failed: %1</translation>
    </message>
    <message>
        <source>录制已保存，但声音同步失败：%1</source>
        <translation>Recording saved, but syncing the sound failed: %1</translation>
    </message>
    <message>
        <source>录制完成，已保存草稿</source>
        <translation>Recording finished, draft saved</translation>
    </message>
    <message>
        <source>%1，录制已中断，保存草稿也失败：%2</source>
        <translation>%1; the recording was cut short and saving the draft failed too: %2</translation>
    </message>
    <message>
        <source>没有录到任何内容：停止前屏幕还没有送来画面</source>
        <translation>nothing was recorded: the screen had not delivered a picture before the stop</translation>
    </message>
    <message>
        <source>录制完成但保存草稿失败：%1</source>
        <translation>Recording finished but saving the draft failed: %1</translation>
    </message>
</context>
<context>
    <name>RecordingSettings</name>
    <message>
        <source>最大（%1×%2）</source>
        <translation>Max (%1×%2)</translation>
    </message>
</context>
<context>
    <name>RecordingWindow</name>
    <message>
        <source>Zimlo录屏</source>
        <translation>Zimlo Recorder</translation>
    </message>
</context>
<context>
    <name>RecordingWindowText</name>
    <message>
        <source>正在合成视频… %1%</source>
        <translation>Composing the video… %1%</translation>
    </message>
    <message>
        <source>正在合成视频… %1%，预计还需 %2 秒</source>
        <translation>Composing the video… %1%, about %2 s left</translation>
    </message>
    <message>
        <source>正在合成视频… %1%，预计还需 %2 分 %3 秒</source>
        <translation>Composing the video… %1%, about %2 min %3 s left</translation>
    </message>
    <message>
        <source>等待初始化</source>
        <translation>Waiting to start</translation>
    </message>
    <message>
        <source>已配置：%1，等待首帧…</source>
        <translation>Set up: %1, waiting for the first frame…</translation>
    </message>
    <message>
        <source>正在录制…</source>
        <translation>Recording…</translation>
    </message>
    <message>
        <source>录制已停止</source>
        <translation>Recording stopped</translation>
    </message>
    <message>
        <source>错误：%1</source>
        <translation>Error: %1</translation>
    </message>
    <message>
        <source>磁盘空间不足</source>
        <translation>The disk is full</translation>
    </message>
    <message>
        <source>录制文件写入失败（%1）</source>
        <translation>Writing the recording failed (%1)</translation>
    </message>
    <message>
        <source>只读文件系统</source>
        <translation>read-only file system</translation>
    </message>
    <message>
        <source>没有写入权限</source>
        <translation>no permission to write</translation>
    </message>
    <message>
        <source>%1，但未能保存（%2：%3）</source>
        <translation>%1, but it was not saved (%2: %3)</translation>
    </message>
    <message>
        <source>设置文件无法使用（已损坏、过大或不是普通文件），已改用默认设置：%1</source>
        <translation>The settings file cannot be used (damaged, too large or not a regular file); using the defaults: %1</translation>
    </message>
    <message>
        <source>电脑声音已恢复，继续录制</source>
        <translation>Computer sound is back; recording goes on</translation>
    </message>
    <message>
        <source>麦克风声音已恢复，继续录制</source>
        <translation>Microphone sound is back; recording goes on</translation>
    </message>
    <message>
        <source>电脑声音已恢复</source>
        <translation>Computer sound is back</translation>
    </message>
    <message>
        <source>麦克风声音已恢复</source>
        <translation>Microphone sound is back</translation>
    </message>
    <message>
        <source>电脑声音中断（声音服务无响应或已退出），画面继续录制，声音服务恢复后自动接上</source>
        <translation>Computer sound lost (the sound server froze or quit); the picture keeps recording and sound resumes when the server is back</translation>
    </message>
    <message>
        <source>麦克风声音中断（声音服务无响应或已退出），画面继续录制，声音服务恢复后自动接上</source>
        <translation>Microphone sound lost (the sound server froze or quit); the picture keeps recording and sound resumes when the server is back</translation>
    </message>
    <message>
        <source>电脑声音不可用（声音服务无响应或已退出），恢复后自动接上</source>
        <translation>Computer sound unavailable (the sound server froze or quit); it resumes when the server is back</translation>
    </message>
    <message>
        <source>麦克风声音不可用（声音服务无响应或已退出），恢复后自动接上</source>
        <translation>Microphone sound unavailable (the sound server froze or quit); it resumes when the server is back</translation>
    </message>
    <message>
        <source>正在录制（%1；电脑声音不可用：未连接到声音服务）</source>
        <translation>Recording (%1; no computer sound: not connected to the sound server)</translation>
    </message>
    <message>
        <source>正在录制（仅画面；电脑声音不可用：未连接到声音服务）</source>
        <translation>Recording (picture only; no computer sound: not connected to the sound server)</translation>
    </message>
</context>
<context>
    <name>RecordingFileWriter</name>
    <message>
        <source>录制文件已存在：%1</source>
        <translation>The recording file exists already: %1</translation>
    </message>
    <message>
        <source>无法创建录制文件：%1</source>
        <translation>Cannot create the recording file: %1</translation>
    </message>
    <message>
        <source>缺少视频格式信息</source>
        <translation>Video format information missing</translation>
    </message>
    <message>
        <source>无法添加视频写入轨道</source>
        <translation>Cannot add the video track</translation>
    </message>
    <message>
        <source>无法添加电脑声音写入轨道</source>
        <translation>Cannot add the computer sound track</translation>
    </message>
    <message>
        <source>无法添加麦克风声音写入轨道</source>
        <translation>Cannot add the microphone sound track</translation>
    </message>
    <message>
        <source>无法开始写入</source>
        <translation>Cannot start writing</translation>
    </message>
    <message>
        <source>写入失败</source>
        <translation>Writing failed</translation>
    </message>
</context>
<context>
    <name>ScreenCameraSource</name>
    <message>
        <source>无法创建新的录屏预览流</source>
        <translation>Cannot create a new screen preview stream</translation>
    </message>
    <message>
        <source>录制过程中不能修改录制参数</source>
        <translation>The recording settings cannot change while recording</translation>
    </message>
</context>
<context>
    <name>ScreenCaptureStatus</name>
    <message>
        <source>实际采样：%1×%2 · 目标：%3 / %4fps</source>
        <translation>Sampling %1×%2 · target %3 / %4fps</translation>
    </message>
    <message>
        <source> · 实际约%1fps</source>
        <translation> · about %1fps</translation>
    </message>
    <message>
        <source>（屏幕源像素不足，按实际像素录制）</source>
        <translation> (the screen has fewer pixels; recording at its size)</translation>
    </message>
    <message>
        <source>（窗口源像素不足，按实际像素录制）</source>
        <translation> (the window has fewer pixels; recording at its size)</translation>
    </message>
</context>
<context>
    <name>ScreenCaptureTargetProvider</name>
    <message>
        <source>确认后在系统窗口中选择</source>
        <translation>Picked after Confirm</translation>
    </message>
    <message>
        <source>上次选择 · %1</source>
        <translation>Last choice · %1</translation>
    </message>
    <message>
        <source>上次选择</source>
        <translation>Last choice</translation>
    </message>
    <message>
        <source>整个屏幕</source>
        <translation>Whole Screen</translation>
    </message>
    <message>
        <source>应用窗口</source>
        <translation>App Window</translation>
    </message>
    <message>
        <source>桌面 %1</source>
        <translation>Display %1</translation>
    </message>
    <message>
        <source>桌面门户不再提供屏幕录制（ScreenCast）</source>
        <translation>The desktop portal no longer offers screen recording (ScreenCast)</translation>
    </message>
</context>
<context>
    <name>ScreenRecordingAudioMixer</name>
    <message>
        <source>无法添加视频直通轨道</source>
        <translation>Cannot add the video pass-through track</translation>
    </message>
    <message>
        <source>无法添加双路音频混合轨道</source>
        <translation>Cannot add the two-way sound mix track</translation>
    </message>
    <message>
        <source>读取器启动失败</source>
        <translation>Starting the reader failed</translation>
    </message>
    <message>
        <source>无法添加视频或音频输出轨道</source>
        <translation>Cannot add the video or audio output track</translation>
    </message>
    <message>
        <source>写入器启动失败</source>
        <translation>Starting the writer failed</translation>
    </message>
    <message>
        <source>视频码流复制失败</source>
        <translation>Copying the video stream failed</translation>
    </message>
    <message>
        <source>音频混合写入失败</source>
        <translation>Writing the sound mix failed</translation>
    </message>
    <message>
        <source>读取录屏文件失败</source>
        <translation>Reading the recording failed</translation>
    </message>
    <message>
        <source>混音文件写入失败</source>
        <translation>Writing the mixed sound file failed</translation>
    </message>
    <message>
        <source>无法读取录屏音频：%1</source>
        <translation>Cannot read the recording&apos;s sound: %1</translation>
    </message>
    <message>
        <source>无法创建混音文件：%1</source>
        <translation>Cannot create the mixed sound file: %1</translation>
    </message>
    <message>
        <source>无法开始同步声音：%1</source>
        <translation>Cannot start syncing the sound: %1</translation>
    </message>
    <message>
        <source>电脑声音与麦克风混合失败：%1</source>
        <translation>Mixing computer sound and microphone failed: %1</translation>
    </message>
    <message>
        <source>录屏文件缺少视频轨道</source>
        <translation>The recording has no video track</translation>
    </message>
    <message>
        <source>录屏文件缺少视频格式信息</source>
        <translation>The recording lacks video format information</translation>
    </message>
    <message>
        <source>同步电脑声音与输入设备声音超时</source>
        <translation>Syncing computer sound and input device sound timed out</translation>
    </message>
</context>
<context>
    <name>SourceError</name>
    <message>
        <source>请先选择要录制的桌面或应用窗口</source>
        <translation>Choose a display or an app window to record first</translation>
    </message>
    <message>
        <source>无法获取电脑摄像头</source>
        <translation>Cannot get the computer&apos;s camera</translation>
    </message>
    <message>
        <source>无法获取麦克风</source>
        <translation>Cannot get the microphone</translation>
    </message>
    <message>
        <source>无法配置摄像头</source>
        <translation>Cannot set up the camera</translation>
    </message>
    <message>
        <source>无法配置麦克风</source>
        <translation>Cannot set up the microphone</translation>
    </message>
</context>
<context>
    <name>VideoCompositor</name>
    <message>
        <source>导出失败：%1</source>
        <translation>Export failed: %1</translation>
    </message>
    <message>
        <source>缺少主画面视频</source>
        <translation>The main video is missing</translation>
    </message>
    <message>
        <source>主画面无视频轨</source>
        <translation>The main video has no video track</translation>
    </message>
    <message>
        <source>影片时长超出范围（%1 秒）</source>
        <translation>The movie&apos;s length is out of range (%1 s)</translation>
    </message>
    <message>
        <source>临时文件夹不可用（%1）：%2</source>
        <translation>The temporary folder cannot be used (%1): %2</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>Unknown error</translation>
    </message>
    <message>
        <source>无法创建导出会话</source>
        <translation>Cannot create the export session</translation>
    </message>
    <message>
        <source>画面合成失败（%1 %2）</source>
        <translation>Composing the picture failed (%1 %2)</translation>
    </message>
</context>
<context>
    <name>zimlo::app::DraftCard</name>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>%1，时长 %2</source>
        <translation>%1, duration %2</translation>
    </message>
    <message>
        <source>，草稿</source>
        <translation>, draft</translation>
    </message>
    <message>
        <source>草稿</source>
        <translation>Draft</translation>
    </message>
</context>
<context>
    <name>zimlo::app::DraftNotifier</name>
    <message>
        <source>%1，时长 %2</source>
        <translation>%1, duration %2</translation>
    </message>
    <message>
        <source>已保存草稿</source>
        <translation>Draft saved</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
</context>
<context>
    <name>zimlo::app::HomeView</name>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>在文件夹中显示</source>
        <translation>Show in Folder</translation>
    </message>
    <message>
        <source>复制到…</source>
        <translation>Copy To…</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>复制失败</source>
        <translation>Copy failed</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
    <message>
        <source>暂无作品，点击右上角去录制开始录屏吧~</source>
        <translation>No recordings yet. Click Record at the top right to make one.</translation>
    </message>
    <message>
        <source>我的作品</source>
        <translation>My Recordings</translation>
    </message>
    <message>
        <source>编辑</source>
        <translation>Edit</translation>
    </message>
    <message>
        <source>去录制</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>删除作品？</source>
        <translation>Delete the recording?</translation>
    </message>
    <message>
        <source>删除后无法恢复，确定要删除这个作品吗？</source>
        <translation>A deleted recording cannot be restored. Delete this recording?</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>删除失败</source>
        <translation>Delete failed</translation>
    </message>
    <message>
        <source>好</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>重命名</source>
        <translation>Rename</translation>
    </message>
    <message>
        <source>作品名称（留空则显示录制时间）：</source>
        <translation>Title (leave empty to show the recording time):</translation>
    </message>
    <message>
        <source>重命名失败</source>
        <translation>Rename failed</translation>
    </message>
</context>
<context>
    <name>zimlo::app::SourceCardView</name>
    <message>
        <source>确认后由系统选择</source>
        <translation>Chosen by the system after Confirm</translation>
    </message>
    <message>
        <source>预览生成中…</source>
        <translation>Making the preview…</translation>
    </message>
    <message>
        <source>%1，%2</source>
        <translation>%1, %2</translation>
    </message>
</context>
<context>
    <name>zimlo::app::SourcePickerView</name>
    <message>
        <source>返回</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>选择录屏内容</source>
        <translation>Choose What to Record</translation>
    </message>
    <message>
        <source>支持选择桌面、所有桌面中正在展示的 App 窗口，在开始录制页面支持打开电脑摄像头作为小窗口。</source>
        <translation>Choose a display or an app window shown on any desktop; the recording page can add the computer&apos;s camera as a small window.</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>确认</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>正在读取所有桌面中正在展示的窗口…</source>
        <translation>Reading the windows shown on all desktops…</translation>
    </message>
    <message>
        <source>没有找到可录制内容。请确认已授予屏幕录制权限。</source>
        <translation>Nothing to record was found. Check that screen recording is allowed.</translation>
    </message>
    <message>
        <source>已找到 %1 个可录制内容。点击“确认”后在系统弹出的窗口中选择要录制的屏幕或窗口。</source>
        <translation>Found %1 things to record. After &quot;Confirm&quot;, choose the screen or window in the system&apos;s window.</translation>
    </message>
    <message>
        <source>已找到 %1 个可录制内容。点击窗口卡片会定位到对应桌面并显示蓝色边框。</source>
        <translation>Found %1 things to record. Clicking a card shows its place on the desktop with a blue border.</translation>
    </message>
    <message>
        <source>读取失败：%1。请在系统设置中允许屏幕录制权限。</source>
        <translation>Reading failed: %1. Allow screen recording in the system settings.</translation>
    </message>
    <message>
        <source>已选择：%1。定位和蓝色边框仅在 X11 桌面可用；点击“确认”后由系统窗口选择具体内容。</source>
        <translation>Selected: %1. Locating and the blue border work on X11 desktops only; after &quot;Confirm&quot; the system&apos;s window chooses what exactly.</translation>
    </message>
    <message>
        <source>已定位：%1</source>
        <translation>Located: %1</translation>
    </message>
    <message>
        <source>已选择：%1。如需定位具体窗口，请在系统设置中允许辅助功能权限。</source>
        <translation>Selected: %1. To locate a window, allow accessibility access in the system settings.</translation>
    </message>
    <message>
        <source>点击“确认”后在系统弹出的窗口中选择要录制的屏幕或窗口，在开始录制页面支持打开电脑摄像头作为小窗口。</source>
        <translation>After &quot;Confirm&quot;, choose the screen or window to record in the system&apos;s window; the recording page can add the computer&apos;s camera as a small window.</translation>
    </message>
</context>
<context>
    <name>zimlo::recording::DraggableSubtitleView</name>
    <message>
        <source>等待语音字幕，可拖动调整位置</source>
        <translation>Waiting for speech; drag to move the subtitles</translation>
    </message>
    <message>
        <source>拖动字幕区域可以调整显示位置</source>
        <translation>Drag the subtitle region to move it</translation>
    </message>
</context>
<context>
    <name>zimlo::recording::GlobalShortcutEditor</name>
    <message>
        <source>全局快捷键</source>
        <translation>Global Shortcuts</translation>
    </message>
    <message>
        <source>在任何窗口中按下即可开始/停止或暂停/继续录制。</source>
        <translation>Press them in any window to start/stop or pause/resume recording.</translation>
    </message>
    <message>
        <source>录制</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>Wayland 桌面上不能使用全局快捷键：桌面门户还没有提供全局快捷键接口。请在录制窗口内按空格键开始/停止录制，按 P 键暂停/继续。</source>
        <translation>Global shortcuts are not available on Wayland desktops: the desktop portal offers no global shortcuts yet. In the recording window, press Space to start/stop and P to pause/resume.</translation>
    </message>
</context>
<context>
    <name>zimlo::recording::RecordingParameterPopover</name>
    <message>
        <source>录制参数</source>
        <translation>Recording Settings</translation>
    </message>
    <message>
        <source>默认使用当前目标的原生最大像素，也可选择较低分辨率。</source>
        <translation>By default the target&apos;s full size is recorded; a lower resolution can be chosen.</translation>
    </message>
    <message>
        <source>分辨率</source>
        <translation>Resolution</translation>
    </message>
    <message>
        <source>帧速率</source>
        <translation>Frame rate</translation>
    </message>
    <message>
        <source>录制鼠标指针</source>
        <translation>Record the mouse pointer</translation>
    </message>
    <message>
        <source>指针</source>
        <translation>Pointer</translation>
    </message>
</context>
<context>
    <name>zimlo::recording::RecordingView</name>
    <message>
        <source>全局快捷键不可用：%1</source>
        <translation>Global shortcuts unavailable: %1</translation>
    </message>
    <message>
        <source>全局快捷键不可用：无法监听全局快捷键</source>
        <translation>Global shortcuts unavailable: cannot listen for them</translation>
    </message>
    <message>
        <source>全局快捷键已更新：%1 开始/停止录制，%2 暂停/继续</source>
        <translation>Global shortcuts updated: %1 starts/stops, %2 pauses/resumes</translation>
    </message>
    <message>
        <source>重选窗口</source>
        <translation>Choose Again</translation>
    </message>
    <message>
        <source>参数</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>设置录制分辨率和帧速率</source>
        <translation>Set the recording resolution and frame rate</translation>
    </message>
    <message>
        <source>开启摄像头小窗</source>
        <translation>Camera window</translation>
    </message>
    <message>
        <source>开启字幕</source>
        <translation>Subtitles</translation>
    </message>
    <message>
        <source>开始录制</source>
        <translation>Start Recording</translation>
    </message>
    <message>
        <source>暂停录制</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>正在合成视频…</source>
        <translation>Composing the video…</translation>
    </message>
    <message>
        <source>字幕与画面正在写入视频，请稍候</source>
        <translation>Subtitles and picture are being written into the video, please wait</translation>
    </message>
    <message>
        <source>取消合成</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>正在初始化录屏预览…</source>
        <translation>Starting the screen preview…</translation>
    </message>
    <message>
        <source>初始化失败：%1</source>
        <translation>Cannot start: %1</translation>
    </message>
    <message>
        <source>已就绪：%1 · %2，等待首帧…</source>
        <translation>Ready: %1 · %2, waiting for the first frame…</translation>
    </message>
    <message>
        <source>正在准备电脑声音和输入设备…</source>
        <translation>Preparing computer sound and input device…</translation>
    </message>
    <message>
        <source>正在录制（仅电脑声音，麦克风未授权）</source>
        <translation>Recording (computer sound only; microphone not allowed)</translation>
    </message>
    <message>
        <source>正在录制（仅电脑声音，输入设备不可用：%1）</source>
        <translation>Recording (computer sound only; input device unavailable: %1)</translation>
    </message>
    <message>
        <source>默认输入设备</source>
        <translation>default input device</translation>
    </message>
    <message>
        <source>正在录制（电脑声音 + %1）</source>
        <translation>Recording (computer sound + %1)</translation>
    </message>
    <message>
        <source>停止录制</source>
        <translation>Stop Recording</translation>
    </message>
    <message>
        <source>（录制文件夹不可用：%1，%2；录制暂存于临时文件夹，意外退出后无法恢复）</source>
        <translation> (recording folder unavailable: %1, %2; the recording is kept in a temporary folder and cannot be recovered after a crash)</translation>
    </message>
    <message>
        <source>已暂停</source>
        <translation>Paused</translation>
    </message>
    <message>
        <source>继续录制</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>正在录制整个屏幕：窗口已最小化，恢复窗口后可停止录制</source>
        <translation>Recording the whole screen: the window is minimised; restore it to stop recording</translation>
    </message>
    <message>
        <source>Zimlo 正在录制整个屏幕</source>
        <translation>Zimlo is recording the whole screen</translation>
    </message>
    <message>
        <source>正在整理…</source>
        <translation>Finishing…</translation>
    </message>
    <message>
        <source>正在保存录屏和摄像头小窗…</source>
        <translation>Saving the recording and camera window…</translation>
    </message>
    <message>
        <source>%1，录制已停止，正在保存已录制的部分…</source>
        <translation>%1; recording stopped, saving what was recorded…</translation>
    </message>
    <message>
        <source>正在应用录制参数…</source>
        <translation>Applying the recording settings…</translation>
    </message>
    <message>
        <source>参数应用失败：%1</source>
        <translation>Applying the settings failed: %1</translation>
    </message>
    <message>
        <source>参数已更新：%1</source>
        <translation>Settings updated: %1</translation>
    </message>
    <message>
        <source>安装语音模型…</source>
        <translation>Install Speech Model…</translation>
    </message>
    <message>
        <source>选择下载的语音模型压缩包（如 %1），检查后安装</source>
        <translation>Choose a downloaded speech model archive (such as %1) to check and install</translation>
    </message>
    <message>
        <source>麦克风音量</source>
        <translation>Microphone level</translation>
    </message>
    <message>
        <source>已选择麦克风</source>
        <translation>Microphone chosen</translation>
    </message>
    <message>
        <source>麦克风未授权</source>
        <translation>Microphone not allowed</translation>
    </message>
    <message>
        <source>输入设备不可用：%1</source>
        <translation>Input device unavailable: %1</translation>
    </message>
    <message>
        <source>麦克风音量：%1</source>
        <translation>Microphone level: %1</translation>
    </message>
    <message>
        <source>跟随系统设置</source>
        <translation>System default</translation>
    </message>
    <message>
        <source>已开启开始前倒计时 %1 秒</source>
        <translation>Countdown of %1 seconds before recording on</translation>
    </message>
    <message>
        <source>已关闭开始前倒计时</source>
        <translation>Countdown before recording off</translation>
    </message>
    <message>
        <source>取消倒计时</source>
        <translation>Cancel Countdown</translation>
    </message>
    <message>
        <source>%1 秒后开始录制…</source>
        <translation>Recording starts in %1 s…</translation>
    </message>
    <message>
        <source>已取消倒计时</source>
        <translation>Countdown cancelled</translation>
    </message>
    <message>
        <source>开始录制前倒计时 %1 秒</source>
        <translation>Count down %1 s first</translation>
    </message>
    <message>
        <source>倒计时</source>
        <translation>Countdown</translation>
    </message>
    <message>
        <source>麦克风</source>
        <translation>Microphone</translation>
    </message>
    <message>
        <source>选择下载的语音模型</source>
        <translation>Choose the Downloaded Speech Model</translation>
    </message>
    <message>
        <source>语音模型压缩包 (*.tar.gz *.tgz *.tar.bz2 *.tar.xz *.tar *.zip);;所有文件 (*)</source>
        <translation>Speech model archives (*.tar.gz *.tgz *.tar.bz2 *.tar.xz *.tar *.zip);;All files (*)</translation>
    </message>
    <message>
        <source>正在安装语音模型：%1</source>
        <translation>Installing the speech model: %1</translation>
    </message>
    <message>
        <source>正在安装语音模型…</source>
        <translation>Installing the speech model…</translation>
    </message>
    <message>
        <source>语音模型安装失败：%1</source>
        <translation>Installing the speech model failed: %1</translation>
    </message>
    <message>
        <source>语音模型已安装，但未能找到它，请重新打开录制窗口</source>
        <translation>The speech model is installed but could not be found; reopen the recording window</translation>
    </message>
    <message>
        <source>语音模型已安装，字幕已开启</source>
        <translation>Speech model installed; subtitles on</translation>
    </message>
    <message>
        <source>语音模型已安装</source>
        <translation>Speech model installed</translation>
    </message>
</context>
<context>
    <name>zimlo::recording::SpeechModelSetup</name>
    <message>
        <source>中文语音模型</source>
        <translation>Mandarin speech model</translation>
    </message>
    <message>
        <source>%1 语音模型</source>
        <translation>%1 speech model</translation>
    </message>
    <message>
        <source>正在解压模型…</source>
        <translation>Unpacking the model…</translation>
    </message>
    <message>
        <source>正在复制模型…</source>
        <translation>Copying the model…</translation>
    </message>
    <message>
        <source>正在试加载模型，检查能否使用…</source>
        <translation>Loading the model to check that it works…</translation>
    </message>
    <message>
        <source>正在安装…</source>
        <translation>Installing…</translation>
    </message>
    <message>
        <source>未安装中文语音模型，无法生成字幕。请下载 %1，点击“安装语音模型…”</source>
        <translation>No Mandarin speech model is installed, so there are no subtitles. Download %1 and click "Install Speech Model…"</translation>
    </message>
    <message>
        <source>未安装%1，无法生成字幕。点击“安装语音模型…”</source>
        <translation>No %1 is installed, so there are no subtitles. Click "Install Speech Model…"</translation>
    </message>
    <message>
        <source>未安装中文语音模型，字幕无法生成：从 CMU Sphinx 项目下载 %1（地址见 README），点击“安装语音模型…”选中它，或运行 %2</source>
        <translation>No Mandarin speech model is installed, so there are no subtitles: download %1 from the CMU Sphinx project (the address is in the README), then click "Install Speech Model…" and choose it, or run %2</translation>
    </message>
    <message>
        <source>未安装%1，字幕无法生成：点击“安装语音模型…”选中下载的模型，或运行 %2</source>
        <translation>No %1 is installed, so there are no subtitles: click "Install Speech Model…" and choose the downloaded model, or run %2</translation>
    </message>
    <message>
        <source>找不到 zimlo-tool，请在终端运行 %1</source>
        <translation>zimlo-tool is not found; run %1 in a terminal</translation>
    </message>
    <message>
        <source>无法运行 zimlo-tool：%1</source>
        <translation>Cannot run zimlo-tool: %1</translation>
    </message>
    <message>
        <source>安装程序意外退出</source>
        <translation>The installer ended unexpectedly</translation>
    </message>
    <message>
        <source>正在启动安装…</source>
        <translation>Starting the installation…</translation>
    </message>
</context>
</TS>
