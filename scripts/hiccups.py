#!/usr/bin/env python3
"""The helpers of scripts/hiccups (see there): the video service with one
hiccup of each kind, the real-time reader of a channel, and the join gaps in
the players' timestamps. Loopback only.

  hiccups.py serve HICCUPS WWW PORT PORT2 LOG       items WWW/1.flv..8.flv; HICCUPS
      lists the hiccups to play (2,3,4,5,6,7,t: items 2 to 7, t the timeline) or is 'none'
  hiccups.py read URL WWW SECONDS                    prints the reader's figures
  hiccups.py counts WWW                              "pictures sounds" of the items
  hiccups.py joins WWW FFPROBE_CSV GST_LOG           prints the join gaps
"""
import hashlib, re, socket, struct, sys, threading, time, urllib.parse

ITEMS = 8
AUDIO_FRAME = 1024 / 44100


def clock():
    t = time.time()
    return time.strftime('%H:%M:%S', time.localtime(t)) + '.%03d' % (t % 1 * 1000)


def tags(data, pos):
    """(type, timestamp ms, body, whether its PreviousTagSize is right) of
    each whole tag from data[pos:] on, each tag followed by its
    PreviousTagSize; and the position after the last one."""
    out = []
    while pos + 15 <= len(data):
        size = int.from_bytes(data[pos + 1:pos + 4], 'big')
        if pos + 15 + size > len(data):
            break
        ts = int.from_bytes(data[pos + 4:pos + 7], 'big') | data[pos + 7] << 24
        prev = int.from_bytes(data[pos + 11 + size:pos + 15 + size], 'big')
        out.append((data[pos] & 0x1f, ts, bytes(data[pos + 11:pos + 11 + size]), prev == 11 + size))
        pos += 15 + size
    return out, pos


def key(typ, body):
    """Hash of a picture's or sound frame's payload; None for anything else
    (codec headers, end of sequence, script data)."""
    if len(body) > 2 and body[1] == 1 and typ in (8, 9):
        return hashlib.sha1(body[5:] if typ == 9 else body[2:]).digest()
    return None


def sources(www):
    """Per item: {type: [timestamp ms of each frame]}; and hash -> [(item, type, index)]."""
    items, index = {}, {}
    for k in range(1, ITEMS + 1):
        data = open(f'{www}/{k}.flv', 'rb').read()
        items[k] = {8: [], 9: []}
        for typ, ts, body, _ in tags(data, 13)[0]:
            h = key(typ, body)
            if h:
                index.setdefault(h, []).append((k, typ, len(items[k][typ])))
                items[k][typ].append(ts)
    return items, index


# --- the service ---------------------------------------------------------

class Service:
    def __init__(self, faults, www, port, port2, log):
        self.faults = set(faults.split(',')) - {'none'}
        self.www, self.port, self.port2 = www, port, port2
        self.log, self.done, self.lock, self.used_up = open(log, 'a'), set(), threading.Lock(), False

    def note(self, text):
        with self.lock:
            self.log.write(f'{clock()} {time.time():.3f} {text}\n')
            self.log.flush()

    def once(self, name):
        with self.lock:
            first = name not in self.done
            self.done.add(name)
            return first

    def listen(self, port):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(('127.0.0.1', port))
        s.listen(16)
        threading.Thread(target=self.accept, args=(s,), daemon=True).start()

    def accept(self, s):
        while True:
            conn, _ = s.accept()
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()

    def timeline(self):
        vods = ''.join(
            f'<vod pliid="{100 + k}" title="item {k}"><srcreq url="http://127.0.0.1:'
            f'{self.port2 if k == 2 else self.port}/v/{k}.flv" quality="5" format="3" drmtype="0" /></vod>\n'
            for k in range(1, ITEMS + 1))
        return ('<?xml version="1.0" encoding="UTF-8"?>\n<resp status="ok">\n'
                f'<SemiLive offset="0" channel="hiccups">\n{vods}</SemiLive>\n</resp>\n').encode()

    @staticmethod
    def head(status, length, extra=''):
        return (f'HTTP/1.1 {status}\r\nContent-Length: {length}\r\nContent-Type: video/x-flv\r\n'
                f'{extra}Connection: close\r\n\r\n').encode()

    def handle(self, conn):
        try:
            self.serve(conn)
        except OSError as e:
            self.note(f'connection ended: {e}')
        finally:
            conn.close()

    def serve(self, conn):
        req = b''
        while b'\r\n\r\n' not in req:
            more = conn.recv(4096)
            if not more:
                return
            req += more
        lines = req.decode('latin-1').split('\r\n')
        target = lines[0].split(' ')[1]
        rng = next((l.split(':', 1)[1].strip() for l in lines if l.lower().startswith('range:')), '')
        url = urllib.parse.urlsplit(target)
        if url.path == '/live/semichannel/timeline/':
            if 't' in self.faults and self.used_up and self.once('timeline'):
                self.note(f'HICCUP timeline {target}: 503 once (the list was used up)')
                conn.sendall(self.head('503 Service Unavailable', 0))
                return
            self.note(f'timeline {target}: 200')
            body = self.timeline()
            conn.sendall(self.head('200 OK', len(body)).replace(b'video/x-flv', b'text/xml') + body)
            return
        m = re.fullmatch(r'/v/(\d)\.flv', url.path)
        if not m:
            conn.sendall(self.head('404 Not Found', 0))
            return
        k, data = int(m[1]), open(f'{self.www}/{m[1]}.flv', 'rb').read()
        start = int((urllib.parse.parse_qs(url.query).get('start') or ['0'])[0])
        asked = f'item {k} {target}' + (f' Range: {rng}' if rng else '')
        f = self.faults
        if k == 8:
            self.used_up = True
        if '3' in f and k == 3 and self.once('3'):
            self.note(f'HICCUP {asked}: 503 once')
            conn.sendall(self.head('503 Service Unavailable', 0))
            return
        if '4' in f and k == 4 and self.once('4'):
            self.note(f'HICCUP {asked}: connection reset once (RST)')
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            return
        if '7' in f and k == 7:
            self.note(f'HICCUP {asked}: 404 (withdrawn)')
            conn.sendall(self.head('404 Not Found', 0))
            return
        status, extra, body = '200 OK', '', data
        r = re.fullmatch(r'bytes=(\d+)-', rng)
        if start > 0:
            body = b'FLV\x01\x05\0\0\0\x09\0\0\0\0' + data[start:]
        elif r:
            n = int(r[1])
            status, body = '206 Partial Content', data[n:]
            extra = f'Content-Range: bytes {n}-{len(data) - 1}/{len(data)}\r\n'
        head, half = self.head(status, len(body), extra), len(body) // 2
        if '5' in f and k == 5 and self.once('5'):
            self.note(f'HICCUP {asked}: body cut at half ({half} of {len(body)} bytes), then closed')
            conn.sendall(head + body[:half])
            return
        if '6' in f and k == 6 and self.once('6'):
            conn.sendall(head + body[:half])
            self.note(f'HICCUP {asked}: body stalls 8 s at {half} of {len(body)} bytes')
            time.sleep(8)
            self.note(f'HICCUP item {k}: stall over, the body goes on')
            conn.sendall(body[half:])
            self.note(f'HICCUP item {k}: rest of the body sent')
            return
        self.note(f'{asked}: {status}, {len(body)} bytes')
        conn.sendall(head + body)
        if '2' in f and k == 1 and self.once('1'):
            # Item 2's port opens a moment after item 1's body is out and the
            # proxy has closed the connection: its first connect is refused.
            try:
                conn.shutdown(socket.SHUT_WR)
                conn.settimeout(300)
                while conn.recv(65536):
                    pass
            except OSError:
                pass
            self.note(f'item 1 body sent out completely, the proxy closed it; item 2\'s port opens in 1 s')
            time.sleep(1)
            self.listen(self.port2)
            self.note(f'HICCUP item 2: its port {self.port2} listens from now on (refused every connect before)')


def serve(mode, www, port, port2, log):
    s = Service(mode, www, int(port), int(port2), log)
    s.note(f'service on 127.0.0.1:{port} (hiccups: {mode}); item 2 on port {port2}'
           + (', not listening yet' if '2' in s.faults else ''))
    if '2' not in s.faults:
        s.listen(s.port2)
    s.listen(s.port)
    threading.Event().wait()


# --- the real-time reader ------------------------------------------------

def read(url, www, bound):
    items, index = sources(www)
    u = urllib.parse.urlsplit(url)
    sock = socket.create_connection((u.hostname, u.port), timeout=1)
    begin = time.time()
    sock.sendall(f'GET {u.path}?{u.query} HTTP/1.0\r\n\r\n'.encode())
    buf, pos, got, chain, answer = bytearray(), None, [], True, ''
    end, ended = f'read until the bound ({bound:.0f} s)', False
    while time.time() - begin < bound:
        try:
            more = sock.recv(65536)
        except socket.timeout:
            continue
        except OSError as e:
            end, ended = f'the connection failed after {time.time() - begin:.1f} s ({e})', True
            break
        now = time.time()
        if not more:
            end, ended = f'the proxy ended the stream after {now - begin:.1f} s', True
            break
        buf += more
        if pos is None and b'\r\n\r\n' in buf and len(buf) >= buf.index(b'\r\n\r\n') + 17:
            answer = buf[:buf.index(b'\r\n')].decode('latin-1')
            pos = buf.index(b'\r\n\r\n') + 4 + 13
            chain = buf[pos - 4:pos] == b'\0\0\0\0'
        if pos is not None:
            new, pos = tags(buf, pos)
            got += [(now,) + t for t in new]
    sock.close()
    print(f'  answer:          {answer or "none"}; {end}')
    report(got, chain, items, index, begin, begin + bound, ended)


def deficit(video):
    """The largest deficit, the time short of pictures and the spells short,
    of a player that starts at the first picture received, (wall time, s)."""
    (t0, m0), worst, short, spells, dry = video[0], 0.0, 0.0, 0, False
    latest, prev = m0, t0
    for at, ts in video[1:]:
        dry_from = t0 + latest + 0.04 - m0  # when the last picture received has been shown
        if at > dry_from:
            short += at - max(prev, dry_from)
            worst = max(worst, at - dry_from)
            spells += not dry
        latest, prev = max(latest, ts), at
        dry = m0 + at - t0 > latest + 0.04
    return worst, short, spells


def report(got, chain, items, index, begin, stop, ended):
    runs, last, unmatched, gaps = [], {}, 0, []
    for at, typ, ts, body, ok in got:
        chain = chain and ok
        h = key(typ, body)
        if h is None:
            continue
        cands = [c for c in index.get(h, []) if c[1] == typ]
        if not cands:
            unmatched += 1
            continue
        cur = runs[-1] if runs else None
        k, _, i = next((c for c in cands if cur and c[0] == cur['item'] and c[2] == last.get(typ, -9) + 1),
                       next((c for c in cands if cur and c[0] == cur['item']), cands[0]))
        if not cur or k != cur['item']:
            cur = {'item': k, 8: [], 9: [], 'at': at - begin, 'ts': ts}
            runs.append(cur)
            last = {}
        if typ in last and i != last[typ] + 1:
            src = items[k][typ]
            lost = (src[i] - src[last[typ]]) / 1000 - (0.04 if typ == 9 else AUDIO_FRAME)
            gaps.append(f'item {k} {"video" if typ == 9 else "audio"} after source '
                        f'{items[k][typ][last[typ]] / 1000:.2f} s: '
                        + (f'{lost:.2f} s lost' if lost >= 0 else f'{-lost:.2f} s repeated'))
        last[typ] = i
        cur[typ].append(i)
    print('  items:           ' + (' -> '.join(
        f'{r["item"]}' for r in runs) or 'none') + (f'   ({unmatched} frames from no source)' if unmatched else ''))
    for r in runs:
        v, a, src = r[9], r[8], items[r['item']]
        span = (f'source {src[9][min(v)] / 1000:.2f}-{src[9][max(v)] / 1000:.2f} s of '
                f'{src[9][-1] / 1000 + 0.04:.2f}' if v else 'no picture')
        again = len(v) + len(a) - len(set(v)) - len(set(a))
        print(f'    item {r["item"]}: {len(set(v))}/{len(src[9])} pictures, {len(set(a))}/{len(src[8])} sounds'
              + (f' ({again} more again)' if again else '') + ', '
              f'{span}; first at +{r["at"]:.2f} s, output {r["ts"] / 1000:.2f} s')
    for typ, name in ((9, 'video'), (8, 'audio')):
        ts = [t for _, y, t, b, _ in got if y == typ and key(y, b)]
        back = [a - b for a, b in zip(ts, ts[1:]) if b < a]
        same = sum(1 for a, b in zip(ts, ts[1:]) if b == a)
        print(f'  {name} times:     ' + (f'went back {len(back)} times (at most {max(back) / 1000:.2f} s)' if back
                                         else 'rising throughout') + (f', {same} steps standing still' if same else ''))
    print(f'  tag sizes:       PreviousTagSize chain {"sound" if chain else "BROKEN"}')
    video = [(at, ts / 1000) for at, y, ts, b, _ in got if y == 9 and key(y, b)]
    if video:
        t0 = video[0][0]
        worst, short, spells = deficit(video + [(stop, 0)])
        print(f'  without data:    largest deficit {worst:.2f} s, {short:.2f} s short of pictures in all, in '
              f'{spells} spell(s) (the player from the first picture at +{t0 - begin:.2f} s to the bound, '
              f'+{stop - begin:.0f} s{", past the end of the stream" if ended else ""})')
        worst, short, spells = deficit(video)
        print(f'                   up to the last picture received, +{video[-1][0] - begin:.2f} s: largest '
              f'{worst:.2f} s, {short:.2f} s in all, in {spells} spell(s)')
    print('  resumed cuts:    ' + ('\n                   '.join(gaps) if gaps
                                   else 'none (every item went on where it was, or not at all)'))


# --- the players' join gaps ----------------------------------------------

def counts(www):
    items, _ = sources(www)
    print(sum(len(items[k][9]) for k in items), sum(len(items[k][8]) for k in items))


def joins(www, probe_csv, gst_log):
    """Each join is found near where the items' lengths put it: the step in
    the sorted presentation times there that differs most from one frame."""
    items, _ = sources(www)
    players = {'ffprobe': {'video': [], 'audio': []}, 'GStreamer': {'video': [], 'audio': []}}
    for line in open(probe_csv, errors='replace'):
        f = line.strip().split(',')
        if len(f) >= 2 and f[0] in ('video', 'audio') and f[1] not in ('', 'N/A'):
            players['ffprobe'][f[0]].append(float(f[1]))
    for m in re.finditer(r'do_push_buffer_pre:<(video|audio):src>.*?pts (\d+):(\d+):([\d.]+)',
                         open(gst_log, errors='replace').read()):
        players['GStreamer'][m[1]].append(int(m[2]) * 3600 + int(m[3]) * 60 + float(m[4]))
    frame = {'video': 0.04, 'audio': AUDIO_FRAME}
    found = {p: {kind: [] for kind in frame} for p in players}
    for p, got in players.items():
        pts = sorted(got['video'])
        at = pts[0] if pts else 0
        for j in range(1, ITEMS + 1):
            at += (items[j][9][-1] - items[j][9][0]) / 1000 + 0.04
            for kind in frame:
                t = sorted(got[kind])
                steps = [(abs(b - a - frame[kind]), b - a - frame[kind], b) for a, b in zip(t, t[1:])
                         if at - 1 < b < at + 1]
                gap = max(steps)[1] if steps else None
                found[p][kind].append(gap)
                if kind == 'video' and steps:
                    at = max(steps)[2]  # where the next item began
    cell = lambda g: '      -' if g is None else f'{g * 1000:+4.0f} ms'
    print(f'  {"join":10}' + ''.join(f'{p + ": picture / silence":>30}' for p in players))
    for j in range(ITEMS):
        print(f'  {j + 1} -> {(j + 1) % ITEMS + 1:<5}' + ''.join(
            f'{cell(found[p]["video"][j]) + " / " + cell(found[p]["audio"][j]):>30}' for p in players)
            + ('   (a new timeline)' if j + 1 == ITEMS else ''))
    top = lambda gaps: max((g for g in gaps if g is not None), default=None)
    print(f'  {"largest":10}' + ''.join(
        f'{cell(top(found[p]["video"])) + " / " + cell(top(found[p]["audio"])):>30}' for p in players))
    for p, got in players.items():
        print(f'  {p}: {len(got["video"])} pictures, {len(got["audio"])} sound frames read')


if __name__ == '__main__':
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'serve':
        serve(*args)
    elif cmd == 'read':
        read(args[0], args[1], float(args[2]))
    elif cmd == 'counts':
        counts(args[0])
    elif cmd == 'joins':
        joins(*args)
