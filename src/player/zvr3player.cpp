#include "zvr3player.h"


#include <cmath>

#include "zvr3decoder.h"
#include "zvr3metatype_p.h"
#include "zvr3net_archive.h"
#include "zvr3online.h"
#include "zvr3player_priv.h"
#include "zvr3supervisor.h"
#include "zvr3supervisor_priv.h"

namespace {
// What zvr3online's open asks for by itself.
const QList<int> OpenedChannels{0, 1, 2, 3};
constexpr int VideoType = 1;

bool sameStreams(const QVector<STREAM_T> &a, const QVector<STREAM_T> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(), [](const STREAM_T &x, const STREAM_T &y) {
        return x.number == y.number && x.type == y.type && x.codec == y.codec && x.text2 == y.text2 && x.text3 == y.text3;
    });
}

QList<int> without(const QList<int> &from, const QList<int> &these)
{
    QList<int> out;
    for (int c : from) {
        if (!these.contains(c) && !out.contains(c))
            out << c;
    }
    return out;
}
}

zvr3player_private::zvr3player_private(zvr3player *q)
    : q(q), supervisor(new zvr3supervisor)
{
    QObject::connect(supervisor, &zvr3base::sigData, q, [this](const QVariant &v) { fromChain(v); });
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, q, [this] { pump(); });
    poll.setInterval(PollMs);
    QObject::connect(&poll, &QTimer::timeout, q, [this] { pump(); });
    clock.start();
}

zvr3player_private::~zvr3player_private()
{
    timer.stop();
    poll.stop();
    supervisor->disconnect(q);
    for (Stream &s : decoders) {
        if (s.decoder) {
            supervisor->removeDecoder(s.decoder);
            delete s.decoder;
        }
    }
    // The supervisor closes its source as it goes; the sources after it.
    delete supervisor;
    delete live;
    delete archive;
}

// ---- the chain

void zvr3player_private::open(zvr3player::Mode m, const QUrl &url)
{
    teardown();
    mode = m;
    zvr3base *source = nullptr;
    if (m == zvr3player::Live) {
        if (!live)
            live = new zvr3online;
        source = live;
    } else {
        if (!archive)
            archive = new zvr3net_archive;
        source = archive;
    }
    if (supervisor->source() != source)
        supervisor->setSource(source);
    supervisor->open(url);
}

void zvr3player_private::teardown()
{
    ++generation;
    timer.stop();
    poll.stop();
    if (supervisor->source())
        supervisor->close();
    zvr3supervisor_private::of(supervisor)->setOwnerHold(false);
    for (Stream &s : decoders)
        resetDecoder(s);
    decoders.clear();
    waiting.clear();
    haveHeader = false;
    lastHeader = HDR_T();
    endTime = QDateTime();
    finished = false;
    position = QDateTime();
    anchored = false;
    pausedAtMs.reset();
    lastHandedMs = 0;
    holding = false;
    highWater = 0;
    mode = zvr3player::Idle;
    if (paused) {
        paused = false;
        emit q->pausedChanged(false);
    }
    if (!streams.isEmpty()) {
        streams.clear();
        emit q->streamsChanged(streams);
    }
}

void zvr3player_private::fromChain(const QVariant &value)
{
    if (zvr3holds<zvr3parser_combined_DATA_T>(value)) {
        data(value);
    } else if (const auto h = zvr3take<HDR_T>(value)) {
        header(*h);
    } else if (const auto s = zvr3take<zvr3stats>(value)) {
        if (s->state != state) {
            state = s->state;
            emit q->stateChanged(state);
        }
        emit q->statsChanged(*s);
    } else if (const auto e = zvr3take<zvr3error>(value)) {
        emit q->errorOccurred(*e);
    }
}

bool zvr3player_private::wanted(const STREAM_T &stream) const
{
    if (stream.type != VideoType)
        return true;
    if (mode == zvr3player::Archive && channels.isEmpty())
        return true;
    return channels.contains(stream.number);
}

void zvr3player_private::header(const HDR_T &h)
{
    lastHeader = h;
    haveHeader = true;
    const bool changed = !sameStreams(h.streams, streams);
    streams = h.streams;
    QList<int> gone;
    for (auto it = decoders.cbegin(); it != decoders.cend(); ++it) {
        if (std::none_of(streams.cbegin(), streams.cend(), [&](const STREAM_T &s) { return s.number == it.key(); }))
            gone << it.key();
    }
    for (int number : std::as_const(gone)) {
        resetDecoder(decoders[number]);
        decoders.remove(number);
    }
    for (const STREAM_T &s : std::as_const(streams)) {
        Stream &stream = decoders[s.number];
        stream.info = s;
        if (!wanted(s))
            resetDecoder(stream);
        else if (stream.decoder)
            stream.decoder->slotData(zvr3value(h));  // every header starts a fresh decoder
        else
            ensureDecoder(stream);  // hands it the header
    }
    if (changed)
        emit q->streamsChanged(streams);
}

zvr3decoder *zvr3player_private::ensureDecoder(Stream &stream)
{
    if (stream.decoder || !haveHeader)
        return stream.decoder;
    auto *decoder = new zvr3decoder(stream.info.number);
    decoder->setParent(q);
    if (mode == zvr3player::Live)
        decoder->setQueueLimit(LiveQueueLimit);
    const int number = stream.info.number;
    QObject::connect(decoder, &zvr3base::sigData, q, [this, number](const QVariant &v) { fromDecoder(number, v); });
    supervisor->addDecoder(decoder);
    stream.decoder = decoder;
    ++stream.serial;
    stream.pending.clear();
    stream.handed = 0;
    stream.settling = false;
    // A decoder made after the header was passed on would stay silent until the next one (live
    // sends it once per connection): it gets the header it missed.
    decoder->slotData(zvr3value(lastHeader));
    return decoder;
}

void zvr3player_private::resetDecoder(Stream &stream)
{
    if (!stream.decoder)
        return;
    // Cut off first: what it decoded and has not yet delivered goes nowhere. It may be the
    // sender of the signal being served, so the event loop deletes it.
    supervisor->removeDecoder(stream.decoder);
    QObject::disconnect(stream.decoder, nullptr, q, nullptr);
    stream.decoder->deleteLater();
    stream.decoder = nullptr;
    stream.pending.clear();
    stream.handed = 0;
    stream.settling = false;
}

void zvr3player_private::data(const QVariant &value)
{
    const auto frame = value.value<zvr3parser_combined_DATA_T>();
    const auto it = decoders.find(int(frame.stream));
    if (it == decoders.end() || !it->decoder)
        return;
    if (mode == zvr3player::Live) {
        it->decoder->slotData(value);
        return;
    }
    if (finished)
        return;
    it->pending.push_back(frame.time);
    ++it->handed;
    lastHandedMs = qMax(lastHandedMs, frame.time);
    it->decoder->slotData(value);
    highWater = qMax(highWater, buffered());
    updateHold();
}

void zvr3player_private::fromDecoder(int number, const QVariant &value)
{
    const auto item = zvr3take<zvr3item>(value);
    if (!item)
        return;
    if (mode == zvr3player::Live) {
        if (!paused)
            emitItem(*item);
        return;
    }
    const auto it = decoders.find(number);
    if (it != decoders.end()) {
        // The records up to this one's time are out: with an item or without one.
        while (!it->pending.empty() && it->pending.front() <= item->time)
            it->pending.pop_front();
    }
    if (finished)
        return;
    if (item->value.isValid()) {
        waiting.emplace(Key{item->time, sequence++}, *item);
        highWater = qMax(highWater, buffered());
    }
    pump();
}

bool zvr3player_private::emitItem(const zvr3item &item)
{
    const int before = generation;
    const int stream = item.stream.number;
    const QDateTime time = toUtc(item.time);
    const QVariant &v = item.value;
    if (zvr3holds<QImage>(v))
        emit q->picture(stream, v.value<QImage>(), time);
    else if (zvr3holds<zvr3sound_buffer>(v))
        emit q->sound(stream, v.value<zvr3sound_buffer>(), time);
    else if (v.typeId() == QMetaType::QString)
        emit q->text(stream, v.toString(), time);
    else if (zvr3holds<zvr3position_info>(v))
        emit q->location(stream, v.value<zvr3position_info>(), time);
    return before == generation;
}

void zvr3player_private::applyChannels(const QList<int> &previous)
{
    if (mode == zvr3player::Live) {
        const QList<int> hide = without(previous, channels);
        const QList<int> show = without(channels, previous);
        if (!hide.isEmpty())
            supervisor->hideChannels(hide);
        if (!show.isEmpty())
            supervisor->showChannels(show);
    }
    // Archive: the recorder is not asked to leave channels out (what a recorder answers to that is
    // no stream); the records of the others are not decoded, and what waits of them goes.
    for (Stream &s : decoders) {
        if (wanted(s.info))
            ensureDecoder(s);
        else
            resetDecoder(s);
    }
    if (mode == zvr3player::Archive) {
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (wanted(it->second.stream))
                ++it;
            else
                it = waiting.erase(it);
        }
        pump();
    }
}

// ---- archive pacing

qint64 zvr3player_private::nowUs() const
{
    return manualClock ? manualNowUs : clock.nsecsElapsed() / 1000;
}

qint64 zvr3player_private::mediaAt(qint64 us) const
{
    if (pausedAtMs)
        return *pausedAtMs;
    return anchorMs + qint64(std::floor(double(us - anchorUs) * rate / 1000.0));
}

qint64 zvr3player_private::dueUs(qint64 timeMs) const
{
    return anchorUs + qint64(std::llround(double(timeMs - anchorMs) * 1000.0 / rate));
}

void zvr3player_private::reanchor(qint64 us, qint64 mediaMs)
{
    anchored = true;
    anchorUs = us;
    anchorMs = mediaMs;
}

bool zvr3player_private::ready(qint64 timeMs, int number)
{
    for (auto it = decoders.begin(); it != decoders.end(); ++it) {
        Stream &s = it.value();
        if (it.key() == number || s.pending.empty() || s.pending.front() > timeMs)
            continue;
        // This stream may still bring an earlier item. Once its decoder has run dry, whatever it
        // decoded has been posted to this thread: a check posted now comes after it.
        if (s.decoder && !s.settling && s.decoder->counters().queued == 0) {
            s.settling = true;
            const int key = it.key();
            const quint64 serial = s.serial;
            const qint64 handedThen = s.handed;
            QMetaObject::invokeMethod(
                q, [this, key, serial, handedThen] { settle(key, serial, handedThen); }, Qt::QueuedConnection);
        }
        return false;
    }
    return true;
}

void zvr3player_private::settle(int number, quint64 serial, qint64 handedThen)
{
    const auto it = decoders.find(number);
    if (it == decoders.end() || it->serial != serial)
        return;
    it->settling = false;
    // The records handed before the decoder ran dry are out, whether or not they gave an item.
    while (!it->pending.empty() && it->handed - qint64(it->pending.size()) < handedThen)
        it->pending.pop_front();
    pump();
}

int zvr3player_private::buffered() const
{
    qsizetype n = qsizetype(waiting.size());
    for (const Stream &s : decoders)
        n += qsizetype(s.pending.size());
    return int(n);
}

void zvr3player_private::pump()
{
    if (mode != zvr3player::Archive)
        return;
    timer.stop();
    const int before = generation;
    bool blocked = false;
    while (!paused && !finished && !waiting.empty()) {
        const auto first = waiting.begin();
        const qint64 time = first->first.time;
        if (!ready(time, first->second.stream.number)) {
            blocked = true;
            break;
        }
        const qint64 now = nowUs();
        if (!anchored) {
            reanchor(now, time);  // the first item leaves at once
        } else {
            const qint64 due = dueUs(time);
            if (due > now) {
                if (!manualClock)
                    timer.start(int(qMin<qint64>((due - now + 999) / 1000, 60000)));
                break;
            }
            if (now - due > lateResetUs)
                reanchor(now, time);
        }
        if (endTime.isValid() && toUtc(time) >= endTime) {
            finished = true;
            waiting.clear();
            updateHold();
            emit q->finished();
            return;
        }
        const zvr3item item = std::move(first->second);
        waiting.erase(first);
        position = toUtc(time);
        if (!emitItem(item))
            return;
        emit q->positionChanged(position);
        if (before != generation)
            return;
    }
    if (blocked && !poll.isActive())
        poll.start();
    else if (!blocked)
        poll.stop();
    updateHold();
}

void zvr3player_private::updateHold()
{
    if (mode != zvr3player::Archive)
        return;
    bool hold = finished;
    if (!hold) {
        const int n = buffered();
        qint64 span = 0;
        if (n > 0) {
            const qint64 from = position.isValid() ? toRecorderMs(position)
                                : !waiting.empty()  ? waiting.begin()->first.time
                                                    : lastHandedMs;
            span = lastHandedMs - from;
        }
        hold = holding ? !(n <= maxBuffered / 2 && span <= maxBufferedMs / 2) : (n >= maxBuffered || span >= maxBufferedMs);
    }
    if (hold != holding) {
        holding = hold;
        zvr3supervisor_private::of(supervisor)->setOwnerHold(hold);
    }
}

void zvr3player_private::seekTo(const QDateTime &from)
{
    // Held first: the supervisor then changes place between chunks and leaves out what still
    // comes of the old one.
    holding = true;
    zvr3supervisor_private::of(supervisor)->setOwnerHold(true);
    ++generation;
    waiting.clear();
    // Fresh decoders: what the old ones hold or have decoded is of the old place.
    for (Stream &s : decoders) {
        const bool had = s.decoder != nullptr;
        resetDecoder(s);
        if (had)
            ensureDecoder(s);
    }
    finished = false;
    anchored = false;
    pausedAtMs.reset();
    lastHandedMs = 0;
    supervisor->play(toRecorder(from));
    // The position is the new place at once, not the old one until the first item from there.
    const QDateTime target = from.toUTC();
    if (position != target) {
        position = target;
        emit q->positionChanged(position);
    }
    updateHold();
    pump();
}

// ---- times

QDateTime zvr3player_private::toUtc(qint64 recorderMs) const
{
    const qint64 seconds = recorderMs >= 0 ? recorderMs / 1000 : (recorderMs - 999) / 1000;
    const qint64 ms = recorderMs - seconds * 1000;
    const qint64 utc = tz ? qint64(quint32(tz->toGMT(static_cast<unsigned long>(seconds)))) : seconds;
    return QDateTime::fromMSecsSinceEpoch(utc * 1000 + ms, Qt::UTC);
}

qint64 zvr3player_private::toRecorderMs(const QDateTime &utc) const
{
    const qint64 msecs = utc.toMSecsSinceEpoch();
    const qint64 seconds = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    const qint64 local = tz ? qint64(quint32(tz->toLocal(static_cast<unsigned long>(seconds)))) : seconds;
    return local * 1000 + (msecs - seconds * 1000);
}

QDateTime zvr3player_private::toRecorder(const QDateTime &utc) const
{
    // A UTC date-time that reads the recorder's digits: the time request writes it as it reads.
    return QDateTime::fromMSecsSinceEpoch(toRecorderMs(utc), Qt::UTC);
}

// ---- the player

zvr3player::zvr3player(QObject *parent)
    : QObject(parent), d(new zvr3player_private(this))
{
    zvr3typeId<zvr3stats>();
    zvr3typeId<zvr3error>();
    zvr3typeId<zvr3sound_buffer>();
    zvr3typeId<zvr3position_info>();
    zvr3typeId<STREAM_T>();
}

zvr3player::~zvr3player()
{
    delete d;
}

QString zvr3player::timeZoneRule() const { return d->rule; }
void zvr3player::setTimeZoneRule(const QString &rule)
{
    d->rule = rule;
    if (rule.isEmpty())
        d->tz.reset();
    else
        d->tz.emplace(rule.toLatin1().constData());
}

qreal zvr3player::rate() const { return d->rate; }
void zvr3player::setRate(qreal rate)
{
    rate = qBound(0.25, rate, 16.0);
    if (qFuzzyCompare(rate, d->rate))
        return;
    // The position stays where it is: the pacing goes on from it at the new rate.
    if (d->anchored && !d->pausedAtMs) {
        const qint64 now = d->nowUs();
        d->reanchor(now, d->mediaAt(now));
    }
    d->rate = rate;
    emit rateChanged(rate);
    d->pump();
}

zvr3player::Mode zvr3player::mode() const { return d->mode; }
bool zvr3player::isPaused() const { return d->paused; }
QDateTime zvr3player::position() const { return d->position; }
zvr3stats::State zvr3player::state() const { return d->state; }
zvr3stats zvr3player::stats() const { return d->supervisor->stats(); }
QVector<STREAM_T> zvr3player::streams() const { return d->streams; }
QList<int> zvr3player::channels() const { return d->channels; }
zvr3supervisor *zvr3player::supervisor() const { return d->supervisor; }

void zvr3player::openLive(const QUrl &url, const QList<int> &channels)
{
    d->open(Live, url);
    d->channels = without(channels, {});
    d->applyChannels(OpenedChannels);
}

void zvr3player::openArchive(const QUrl &url, const QDateTime &from, const QDateTime &to)
{
    d->open(Archive, url);
    d->endTime = to;
    d->supervisor->play(d->toRecorder(from));
}

void zvr3player::setChannels(const QList<int> &channels)
{
    const QList<int> previous = d->channels;
    d->channels = without(channels, {});
    if (d->mode != Idle && previous != d->channels)
        d->applyChannels(previous);
}

void zvr3player::seek(const QDateTime &from)
{
    if (d->mode == Archive && from.isValid())
        d->seekTo(from);
}

void zvr3player::play() { setPaused(false); }
void zvr3player::pause() { setPaused(true); }

void zvr3player::setPaused(bool paused)
{
    if (paused == d->paused)
        return;
    if (d->mode == Archive) {
        const qint64 now = d->nowUs();
        if (paused) {
            if (d->anchored)
                d->pausedAtMs = d->mediaAt(now);
            d->timer.stop();
            d->poll.stop();
        } else if (d->pausedAtMs) {
            // On from where the clock stood: no gap, nothing skipped.
            const qint64 at = *d->pausedAtMs;
            d->pausedAtMs.reset();
            d->reanchor(now, at);
        }
        d->supervisor->setPaused(paused);
    }
    d->paused = paused;
    emit pausedChanged(paused);
    if (!paused)
        d->pump();
}

void zvr3player::close()
{
    d->teardown();
}
