#!/usr/bin/env python3
"""Writes COUNT drafts into DIR the way the draft store lays them out: ID/project.json plus
main and pip movie files (placeholders; listing only looks for them). Projects vary in track
lengths, subtitles, media extensions and asset identifiers. Deterministic for a given seed."""
import json
import os
import random
import sys
import uuid

WORDS = ["今天", "我们", "来", "演示", "一下", "录屏", "功能", "字幕", "会", "自动", "生成",
         "camera", "window", "screen", "recording", "draft"]


def project(rng, index, root):
    pid = str(uuid.UUID(int=rng.getrandbits(128), version=4)).upper()
    duration = round(rng.uniform(5, 900), 3)
    pip_track = [{"time": round(rng.uniform(0, duration), 3),
                  "center": [rng.random(), rng.random()],
                  "size": [rng.uniform(0.1, 0.4), rng.uniform(0.1, 0.4)],
                  "cornerRadius": 12.0} for _ in range(rng.randint(0, 30))]
    subtitles = []
    t = 0.0
    for _ in range(rng.randint(0, 60)):
        start = t + rng.uniform(0, 2)
        end = start + rng.uniform(0.5, 4)
        t = end
        subtitles.append({"id": str(uuid.UUID(int=rng.getrandbits(128), version=4)).upper(),
                          "startTime": round(start, 3), "endTime": round(end, 3),
                          "text": "".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12)))})
    d = os.path.join(root, pid)
    doc = {"id": pid,
           "createdAt": 786000000 + index * 37.25 + rng.random(),
           "mainVideoURL": "file://" + d.replace(" ", "%20") + "/main.mp4",
           "duration": duration,
           "pipTrack": pip_track,
           "splitScreenTrack": [],
           "subtitleTrack": subtitles,
           "subtitleLayout": {"center": [0.5, 0.82], "maxWidth": 0.86, "fontScale": 1.0},
           "emphasizesSubtitleKeywords": True,
           "isDraft": True,
           "aspect": {"main": rng.choice(["默认", "16:9", "9:16"]), "isPiPEnabled": bool(pip_track),
                      "isSplitScreenEnabled": False, "splitOrder": "frontTop", "splitTopRatio": 0.5,
                      "pip": {"aspect": "默认", "cornerRatio": 0.12}},
           "sourceKind": "screen"}
    if pip_track:
        doc["pipVideoURL"] = "file://" + d.replace(" ", "%20") + "/pip.mov"
    if index % 10 == 0:
        doc["sourceAssetIdentifier"] = "asset-%d" % (index // 20)
    os.makedirs(d)
    with open(os.path.join(d, "project.json"), "w", encoding="utf-8") as f:
        f.write(json.dumps(doc, ensure_ascii=False, separators=(",", ":")))
    with open(os.path.join(d, "main.mp4" if index % 3 else "main.mov"), "wb") as f:
        f.write(b"\0" * 64)
    if pip_track:
        with open(os.path.join(d, "pip.mov"), "wb") as f:
            f.write(b"\0" * 64)


def main():
    root, count = sys.argv[1], int(sys.argv[2])
    rng = random.Random(20261207)
    os.makedirs(root, exist_ok=True)
    for i in range(count):
        project(rng, i, root)


if __name__ == "__main__":
    main()
