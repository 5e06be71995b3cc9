"""What a notification server received, read from dbus-monitor's record.

    notifications.py MONITOR_RECORD CHECK [ARGS...]

Every Notify call, with the id the server answered, grouped by the process
that sent it (its unique bus name). The checks:

    uploads SERVER LANGUAGE RUNS...   each RUN is taken,taken (two uploads
        in one script) or refused; the runs came in this order, one process
        each, in LANGUAGE (what LANGUAGE was set to: en, de; any other shows
        English).
        late:taken,taken: the server was paused for the first upload, whose
        progress may come in only at its end.
    split N FIRST REST   writes the record of the first N processes to
        FIRST, that of the others to REST.
    count-open   prints how many notifications the calls made (each a
        notification of its own on screen until it expires or is closed).
"""
import re
import sys

TITLE = 'Kelvo Robot Updater'
# What the person reads, by language, as the catalogs in po/ have it: the
# progress (a printf format, as there), the update taken, the update refused.
TEXTS = {
    'en': ('Updating the robot: %d%% sent. Keep it plugged in and switched on until this is done.',
           'The robot has taken the update.',
           "The robot did not take the update. The maker's page will say what to do."),
    'de': ('Der Roboter wird aktualisiert: %d\xa0%% übertragen. Lassen Sie ihn angeschlossen und eingeschaltet, '
           'bis der Vorgang abgeschlossen ist.',
           'Der Roboter hat die Aktualisierung übernommen.',
           'Der Roboter hat die Aktualisierung nicht übernommen. Auf der Seite des Herstellers steht, was zu tun ist.'),
}


class Texts:
    def __init__(self, language):
        progress, self.taken, self.refused = TEXTS.get(language, TEXTS['en'])
        # The progress text as a pattern, its percentage caught.
        self.progress = re.compile(r'(\d+)'.join(re.escape(part.replace('%%', '%'))
                                                 for part in progress.split('%d')) + '$')

    def percent(self, body):
        """The percentage of a progress text, None for any other text."""
        m = self.progress.match(body)
        return int(m.group(1)) if m else None


def read(path):
    text = open(path, encoding='utf-8', errors='replace').read()
    blocks = re.split(r'\n(?=method call|method return|signal|error)', text)
    calls, returns = [], {}
    for b in blocks:
        head = b.split('\n', 1)[0]
        if head.startswith('method call') and 'member=Notify' in head:
            sender, serial = re.search(r' sender=(\S+) .* serial=(\d+)', head).groups()
            strings = re.findall(r'^   string "(.*)"$', b, re.M)
            ints = re.findall(r'^   int32 (-?\d+)$', b, re.M)
            replaces = int(re.search(r'^   uint32 (\d+)$', b, re.M).group(1))
            value = re.search(r'string "value"\s*\n\s*variant\s+int32 (\d+)', b)
            urgency = re.search(r'string "urgency"\s*\n\s*variant\s+byte (\d+)', b)
            entry = re.search(r'string "desktop-entry"\s*\n\s*variant\s+string "(.*)"', b)
            calls.append(dict(sender=sender, serial=serial, app=strings[0], icon=strings[1],
                              summary=strings[2], body=strings[3], replaces=replaces,
                              value=int(value.group(1)) if value else None,
                              urgency=int(urgency.group(1)) if urgency else None,
                              entry=entry.group(1) if entry else None, expire=int(ints[-1])))
        elif head.startswith('method return'):
            m = re.search(r' destination=(\S+) .*reply_serial=(\d+)', head)
            ids = re.findall(r'^   uint32 (\d+)$', b, re.M)
            if m and ids:
                returns[m.groups()] = int(ids[0])
    for c in calls:
        c['id'] = returns.get((c['sender'], c['serial']))
    return calls


def by_process(calls):
    runs = []
    for c in calls:
        if not runs or runs[-1][0]['sender'] != c['sender']:
            runs.append([])
        runs[-1].append(c)
    return runs


def check_run(name, shown, texts, outcomes, bar, late, previous):
    # One notification for the whole process: every later call replaces the
    # id the first was given, and the first replaces what the run before
    # left (the server keeps the id).
    ids = {c['id'] for c in shown}
    assert len(ids) == 1 and None not in ids, (name, 'not one id', [(c['replaces'], c['id']) for c in shown])
    the_id = ids.pop()
    assert previous is None or shown[0]['replaces'] == previous, (name, 'the run before', previous, shown[0])
    assert shown[0]['replaces'] in (0, the_id) and all(c['replaces'] == the_id for c in shown[1:]), \
        (name, [c['replaces'] for c in shown])
    for c in shown:
        assert c['summary'] == TITLE and c['app'] == TITLE, c
        # Registered by "register" only: the icon by the path of the user's
        # copy (dunst finds no named icon in a folder without index.theme).
        assert c['entry'] == 'kelvo-upgrader', c
        assert c['icon'].startswith('/') and c['icon'].endswith('/icons/hicolor/scalable/apps/kelvo-upgrader.svg'), c
        assert c['expire'] == 0, (name, 'expires', c)
    # Split into uploads at each outcome.
    uploads, current = [], []
    for c in shown:
        current.append(c)
        if texts.percent(c['body']) is None:
            uploads.append(current)
            current = []
    assert not current, (name, 'progress after the last outcome', current)
    assert [u[-1]['body'] for u in uploads] == outcomes, (name, [u[-1]['body'] for u in uploads])
    for n, u in enumerate(uploads):
        progress, last = u[:-1], u[-1]
        # Each upload from its own start: the first showing is early. With
        # the server paused for the first upload, its first showing may be
        # its outcome.
        assert progress or (late and n == 0), (name, 'no progress shown', last)
        percents = [texts.percent(c['body']) for c in progress]
        assert not percents or percents[0] < 50 or (late and n == 0), (name, 'the first came late', percents)
        assert percents == sorted(percents), (name, 'went back', percents)
        for c in progress:
            assert c['urgency'] == 1, (name, 'progress is an alarm', c)
            assert c['value'] == (texts.percent(c['body']) if bar else None), (name, c)
        failed = last['body'] == texts.refused
        assert last['urgency'] == (2 if failed else 1), (name, 'urgency', last)
        assert last['value'] == (100 if bar and not failed else None), (name, 'bar', last)
        print('%s: %d notifications under id %d, percent %s, then "%s"' % (name, len(u), the_id, percents, last['body']))


def split(path, first, out_first, out_rest):
    text = open(path, encoding='utf-8', errors='replace').read()
    blocks = re.split(r'\n(?=method call|method return|signal|error)', text)
    senders = []
    for b in blocks:
        m = re.match(r'method call .* sender=(\S+) .*member=Notify$', b.split('\n', 1)[0])
        if m and m.group(1) not in senders:
            senders.append(m.group(1))
    rest = set(senders[first:])

    def theirs(b):
        head = b.split('\n', 1)[0]
        return any(' sender=%s ' % s in head or ' destination=%s ' % s in head for s in rest)
    open(out_first, 'w').write('\n'.join(b for b in blocks if not theirs(b)) + '\n')
    open(out_rest, 'w').write('\n'.join(b for b in blocks if theirs(b)) + '\n')


def main():
    if sys.argv[2] == 'split':
        split(sys.argv[1], int(sys.argv[3]), sys.argv[4], sys.argv[5])
        return
    calls = read(sys.argv[1])
    check = sys.argv[2]
    if check == 'count-open':
        # A server answers a replacement with the same id: every id is one
        # notification, and so may be every call never answered that asked
        # for a new one.
        ids = {c['id'] for c in calls if c['id'] is not None}
        print(len(ids) + sum(1 for c in calls if c['id'] is None and c['replaces'] == 0))
        return
    assert check == 'uploads'
    server, texts, runs = sys.argv[3], Texts(sys.argv[4]), sys.argv[5:]
    shown = by_process(calls)
    assert len(shown) == len(runs), ('expected %d runs, saw %d' % (len(runs), len(shown)),
                                     [len(s) for s in shown])
    previous = None
    for name, s in zip(runs, shown):
        late = name.startswith('late:')
        outcomes = [texts.taken if r == 'taken' else texts.refused for r in name.split(':')[-1].split(',')]
        check_run(server + ' ' + name, s, texts, outcomes, server == 'dunst', late, previous)
        previous = s[-1]['id']


main()
