<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>QObject</name>
    <message>
        <source>没有可以打开这个视频的应用。请安装视频播放器，或用“在文件夹中显示”找到文件：%1</source>
        <translation>No application can open this video. Install a video player, or use “Show in Folder” to find the file: %1</translation>
    </message>
    <message>
        <source>无法打开视频</source>
        <translation>Cannot open the video</translation>
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
</context>
<context>
    <name>zimlo::app::SourcePickerView</name>
    <message>
        <source>返回</source>
        <translation>Back</translation>
    </message>
</context>
</TS>
