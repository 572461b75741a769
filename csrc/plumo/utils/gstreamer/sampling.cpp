// Choosing frames on the streaming threads: which coded frames reach a decoder, and which decoded
// frames go on, decided in C for each frame (plumo.pipeline_factories.sampling sets it up).
//
// Analytics often wants one frame a second of a 25 fps camera. Converting only those saves a
// little; not decoding the others saves most of the work, and what can be left undecoded depends
// on the coding:
//
// - intra-only video (a camera's MJPEG, images): each frame stands alone, so the limit itself is
//   applied before the decoder;
// - keyframes only: the delta units never reach the decoder, and the limit, if any, picks among
//   the keyframes there too;
// - inter-coded video (H.264, ...) under a limit: every frame up to the last one kept in a group
//   of pictures is needed to decode it, but those after it, up to the next keyframe, are not.
//   The frames the limit will not keep are held back until it is known which: a frame kept needs
//   those before it, the next keyframe frees the rest (DecoderGate). Where the coding reorders
//   frames (B-frames), or frames come without timestamps, every frame is decoded and the limit
//   applied after the decoder.
//
// Each gate's state is touched by its pad's streaming thread alone; what the gates and the limit
// after the decoder share (whether the limit is applied before the decoder) is atomic, and the
// limit after the decoder has a lock of its own.
#define NO_IMPORT_PYGOBJECT
#include <pygobject.h>

#include <gst/gst.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "gstreamer.h"
#include "native_state.h"

namespace plumo::gstreamer {
namespace {

// Owned references to what the gates take from GStreamer.
struct Unref {
    void operator()(GstBuffer* buffer) const noexcept { gst_buffer_unref(buffer); }
    void operator()(GstCaps* caps) const noexcept { gst_caps_unref(caps); }
    void operator()(GstElement* element) const noexcept { gst_object_unref(element); }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref>;

Name gst_("Gst");
Name pad_("Pad");
Name time_("time");
Name monotonic_ns_("monotonic_ns");
Name limiter_slot_("_limiter");
Name sampling_slot_("_sampling");
constexpr const char* limiter_capsule = "plumo.utils.gstreamer.RateLimiter";
constexpr const char* sampling_capsule = "plumo.utils.gstreamer.FrameSampling";

// Containers round timestamps (Matroska to the millisecond), so a frame may come a little before
// the slot it falls on. Live frames without timestamps go by their arrival, which wavers more.
constexpr std::int64_t timestamp_slack = 2 * std::int64_t(GST_MSECOND);
constexpr std::int64_t clock_slack_share = 10;
// Slots further apart than a century are a century apart: the sums stay within 64 bits.
constexpr double longest_interval = 100.0 * 365 * 86400 * double(GST_SECOND);

// Each frame stands alone in these: there is nothing to keep for the frames after it.
constexpr const char* intra_only[] = {"image/jpeg", "image/png", "image/jp2", "image/x-j2c",
                                      "image/x-jpc"};

// The most of a group of pictures held back before the decoder, in bytes of coded frames: a
// group longer than that is decoded as it comes.
constexpr gsize most_held_bytes = 32 * 1024 * 1024;

// A camera's stream is joined anywhere between two keyframes; what a decoder gets before the
// first is dropped, but a stream whose frames carry no keyframe marks is not held back for long.
constexpr unsigned most_dropped_before_keyframe = 300;

// MPEG-1 and 2 video: a picture's header starts with these bytes, and comes after the sequence's
// headers at most, which take a few hundred bytes.
constexpr unsigned char mpeg_picture_start[] = {0, 0, 1, 0};
constexpr gsize mpeg_headers_bytes = 1024;
constexpr int mpeg_i_picture = 1;

// `time + interval`, held at the end of time: a timestamp near it must not wrap around.
std::int64_t later(std::int64_t time, std::int64_t interval) {
    return time > std::numeric_limits<std::int64_t>::max() - interval
               ? std::numeric_limits<std::int64_t>::max()
               : time + interval;
}

// Lets at most `max_framerate` frames a second through, on a grid of slots.
//
// Time is the frames' own timestamps, so a clip read faster than real time keeps one frame in so
// many of its own; frames without timestamps (a camera's MJPEG, say) go by the clock. The first
// frame at or after a slot fills it, so the frames kept average the limit rather than the next
// slower rate the input's spacing allows (12.5 a second of 25 is every second frame). A gap
// starts a new grid at the next frame; a timestamp that goes back (a restart, a new segment)
// starts afresh.
class RateLimit {
public:
    explicit RateLimit(double max_framerate)
        : interval_(std::int64_t(
              std::nearbyint(std::min(double(GST_SECOND) / max_framerate, longest_interval)))),
          clock_slack_(interval_ / clock_slack_share),
          timestamp_slack_(std::min(clock_slack_, timestamp_slack)) {}

    // Whether the frame with this timestamp (GST_CLOCK_TIME_NONE: none, and `clock_now` is the
    // time on the monotonic clock) is kept.
    bool admits(GstClockTime pts, std::int64_t clock_now) {
        bool by_clock = pts == GST_CLOCK_TIME_NONE;
        std::int64_t now = by_clock ? clock_now : timestamp(pts);
        if (!by_clock_ || *by_clock_ != by_clock) {
            by_clock_ = by_clock;
            next_slot_.reset();
        }
        std::int64_t slack = by_clock ? clock_slack_ : timestamp_slack_;
        if (next_slot_ && last_ <= now && now < *next_slot_ - slack)
            return false;
        // Anything before the last frame kept is a jump back; it is off the grid, as a gap is.
        bool on_grid =
            next_slot_ && *next_slot_ - slack <= now && now < later(*next_slot_, interval_);
        next_slot_ = later(on_grid ? *next_slot_ : now, interval_);
        last_ = now;
        return true;
    }

    bool admits(GstClockTime pts) {
        return admits(pts, pts == GST_CLOCK_TIME_NONE ? monotonic_ns() : 0);
    }

private:
    // GStreamer's times are unsigned; past 2**63-1 ns (290 years) they are all the same here.
    static std::int64_t timestamp(GstClockTime pts) {
        return std::int64_t(std::min<GstClockTime>(pts, std::numeric_limits<std::int64_t>::max()));
    }

    const std::int64_t interval_;
    const std::int64_t clock_slack_;
    const std::int64_t timestamp_slack_;
    std::optional<bool> by_clock_;
    std::optional<std::int64_t> next_slot_;  // where the next frame kept falls, on its time base
    std::int64_t last_ = 0;  // the time of the last frame kept, once there is a next slot
};

// One pipeline's choice of frames, shared by the gates before its decoders and the limit after.
struct Choice {
    std::optional<double> max_framerate;
    bool keyframes_only = false;
    // Set as a decoder's input is known: whether the limit is applied before it.
    std::atomic<bool> limited_before_decoding{false};
    std::mutex after_lock;
    std::optional<RateLimit> after;  // the limit after decoding, under `after_lock`
};

using ChoiceRef = std::shared_ptr<Choice>;

// The coding type of the MPEG-1 or 2 picture in `buffer` (1: I, 2: P, 3: B), or -1 when no
// picture header is found.
int mpeg_picture_type(GstBuffer* buffer) {
    unsigned char data[mpeg_headers_bytes];
    gsize size = gst_buffer_extract(buffer, 0, data, sizeof data);
    for (gsize start = 0; start + sizeof mpeg_picture_start <= size; ++start) {
        if (std::memcmp(data + start, mpeg_picture_start, sizeof mpeg_picture_start) != 0)
            continue;
        if (start + 6 > size)
            return -1;
        // 10 bits of temporal reference, then 3 of the coding type.
        return (data[start + 5] >> 3) & 7;
    }
    return -1;
}

bool is_intra_only(const char* media) {
    for (const char* name : intra_only)
        if (std::strcmp(media, name) == 0)
            return true;
    return false;
}

// What reaches one decoder: a probe on its sink pad, on its streaming thread.
//
// Under a limit, in coding that refers to earlier frames, a frame the limit will not keep may
// still be needed by a later one it keeps, and which frames come next is not known. So such a
// frame is held back, not dropped: when a frame the limit keeps comes, the frames held are
// decoded first, in order; when the next keyframe comes, those still held were needed by none,
// and go. The decoder always gets each group of pictures from its keyframe up to the last frame
// kept in it, whatever the frames' timing. Where the order of decoding is not the order of the
// pictures (reordered frames), or a frame has no timestamp, the limit cannot be told before the
// decoder: from then on every frame is decoded, and the limit applied after it.
class DecoderGate {
public:
    explicit DecoderGate(ChoiceRef choice) : choice_(std::move(choice)) { reset(); }
    DecoderGate(const DecoderGate&) = delete;
    DecoderGate& operator=(const DecoderGate&) = delete;
    ~DecoderGate() { forget_held(); }

    GstPadProbeReturn on_data(GstPad* pad, GstPadProbeInfo* info) {
        if (resending_)
            return GST_PAD_PROBE_OK;
        bool buffer = GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER;
        GstEvent* event = buffer ? nullptr : GST_PAD_PROBE_INFO_EVENT(info);
        // Out-of-band events (a flush's start, say) may come on any thread: the gate's state is
        // the streaming thread's alone, and none of them concerns it.
        if (!buffer && (event == nullptr || !GST_EVENT_IS_SERIALIZED(event)))
            return GST_PAD_PROBE_OK;
        if (!caps_known_ && (event == nullptr || GST_EVENT_TYPE(event) != GST_EVENT_CAPS)) {
            // A decoder already running when it was watched has had its caps.
            Owned<GstCaps> caps(gst_pad_get_current_caps(pad));
            on_caps(pad, caps.get());
        }
        if (buffer)
            return on_buffer(pad, info);
        GstEventType type = GST_EVENT_TYPE(event);
        if (type == GST_EVENT_FLUSH_STOP || type == GST_EVENT_EOS) {
            reset();  // what was held was needed by nothing, or flushed
        } else if (type != GST_EVENT_TAG && GST_EVENT_IS_SERIALIZED(event)) {
            // Frames held go before what follows them (new caps, a new segment); tags, which
            // parsers send along the way (the bitrate so far), may go ahead of them.
            send_held(pad);
            if (type == GST_EVENT_CAPS) {
                GstCaps* caps = nullptr;
                gst_event_parse_caps(event, &caps);  // borrowed
                on_caps(pad, caps);
            }
        }
        return GST_PAD_PROBE_OK;
    }

private:
    void reset() {
        // Where the limit is applied after the decoder, this one decides as that one will, frame
        // by frame: both see the same frames with the same timestamps, and a frame either refuses
        // leaves both as they were.
        limiter_.reset();
        if (choice_->max_framerate)
            limiter_.emplace(*choice_->max_framerate);
        previous_.reset();
        decode_all_ = false;
        forget_held();
    }

    // Learns what the decoder takes, and how its input is to be sampled.
    void on_caps(GstPad* pad, GstCaps* caps) {
        caps_known_ = true;
        if (caps == nullptr || gst_caps_get_size(caps) == 0)
            return;
        const GstStructure* structure = gst_caps_get_structure(caps, 0);
        const char* media = gst_structure_get_name(structure);
        video_ = g_str_has_prefix(media, "video/") || g_str_has_prefix(media, "image/");
        if (!video_)
            return;
        int version = 0;
        bool found = gst_structure_get_int(structure, "mpegversion", &version);
        mpeg_pictures_ =
            std::strcmp(media, "video/mpeg") == 0 && found && (version == 1 || version == 2);
        const Choice& choice = *choice_;
        limit_here_ = choice.max_framerate && (choice.keyframes_only || is_intra_only(media));
        choice_->limited_before_decoding.store(limit_here_);
        // Decoding starts again at a keyframe after a group's rest is left out. One that is not
        // an IDR picture may leave later frames referring to what was left out: only a decoder
        // that refuses frames it could not decode whole (libav's) may have it left out.
        Owned<GstElement> decoder(gst_pad_get_parent_element(pad));
        may_hold_ =
            choice.max_framerate && !limit_here_ && decoder != nullptr &&
            g_object_class_find_property(G_OBJECT_GET_CLASS(decoder.get()), "output-corrupt");
        if (may_hold_)
            g_object_set(decoder.get(), "output-corrupt", FALSE, nullptr);
    }

    GstPadProbeReturn on_buffer(GstPad* pad, GstPadProbeInfo* info) {
        if (!video_)
            return GST_PAD_PROBE_OK;
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        if (mpeg_pictures_ && key) {
            // mpegvideoparse leaves the delta mark off the last frame of a stream, whatever it is.
            int type = mpeg_picture_type(buffer);
            key = type < 0 || type == mpeg_i_picture;
        }
        if (key && !GST_BUFFER_PTS_IS_VALID(buffer) && GST_BUFFER_DTS_IS_VALID(buffer)) {
            // A demuxer that has no index to read (AVI over HTTP) stamps its frames with their
            // decoding time alone. A keyframe is shown when it is decoded, as demuxers stamp the
            // keyframes they know of; without it the decoder would make the time up from the
            // frame before, which is not there when frames are left out.
            buffer = gst_buffer_make_writable(buffer);
            GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer);
            GST_PAD_PROBE_INFO_DATA(info) = buffer;
        }
        if (choice_->keyframes_only && !key)
            return GST_PAD_PROBE_DROP;
        if (!limiter_)
            return GST_PAD_PROBE_OK;
        if (limit_here_)
            return limiter_->admits(GST_BUFFER_PTS(buffer)) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
        return hold_until_needed(pad, buffer, key);
    }

    // Holds back a frame the limit will not keep, until a frame it keeps needs it.
    GstPadProbeReturn hold_until_needed(GstPad* pad, GstBuffer* buffer, bool key) {
        if (decode_all_ || !may_hold_)
            return GST_PAD_PROBE_OK;
        GstClockTime pts = GST_BUFFER_PTS(buffer);
        std::optional<GstClockTime> previous = previous_;
        previous_ = pts;
        bool reordered = previous && pts < *previous && !key;
        if (pts == GST_CLOCK_TIME_NONE || reordered) {
            // From here on the limit is applied after the decoder alone.
            decode_all_ = true;
            send_held(pad);
            return GST_PAD_PROBE_OK;
        }
        if (key)
            forget_held();  // the rest of the last group: no frame kept needed it
        if (limiter_->admits(pts)) {
            send_held(pad);
            return GST_PAD_PROBE_OK;
        }
        Owned<GstBuffer> kept(gst_buffer_ref(buffer));
        held_.push_back(std::move(kept));  // may throw: `kept` lets its reference go then
        held_bytes_ += gst_buffer_get_size(buffer);
        if (held_bytes_ > most_held_bytes)
            send_held(pad);  // a group too long to hold: decoded as it comes
        return GST_PAD_PROBE_DROP;
    }

    // Sends the frames held, in order, into the decoder, on this streaming thread.
    void send_held(GstPad* pad) {
        std::vector<Owned<GstBuffer>> held;
        held.swap(held_);
        held_bytes_ = 0;
        resending_ = true;
        for (Owned<GstBuffer>& buffer : held) {
            // The pad takes the buffer, whatever becomes of it; those after a failure go with
            // `held`.
            if (gst_pad_chain(pad, buffer.release()) != GST_FLOW_OK)
                break;  // flushing, or the decoder failed (and says so on the bus)
        }
        resending_ = false;
    }

    void forget_held() {
        held_.clear();
        held_bytes_ = 0;
    }

    const ChoiceRef choice_;
    bool caps_known_ = false;  // the caps were seen (or looked for at the first data)
    bool video_ = false;
    bool limit_here_ = false;
    bool may_hold_ = false;
    bool mpeg_pictures_ = false;  // MPEG-1 or 2 video: its keyframes are told by its pictures
    bool decode_all_ = false;
    bool resending_ = false;  // the frames held are on their way to the decoder
    std::optional<RateLimit> limiter_;
    std::optional<GstClockTime> previous_;
    std::vector<Owned<GstBuffer>> held_;
    gsize held_bytes_ = 0;
};

GstPadProbeReturn gate_data(GstPad* pad, GstPadProbeInfo* info, gpointer gate) noexcept {
    try {
        return static_cast<DecoderGate*>(gate)->on_data(pad, info);
    } catch (const std::exception&) {
        return GST_PAD_PROBE_OK;  // a frame that could not be held back (no memory) is decoded
    }
}

void forget_gate(gpointer gate) {
    delete static_cast<DecoderGate*>(gate);
}

GstPadProbeReturn limit_decoded_buffer(GstPad*, GstPadProbeInfo* info, gpointer data) noexcept {
    Choice& choice = **static_cast<ChoiceRef*>(data);
    if (choice.limited_before_decoding.load())
        return GST_PAD_PROBE_OK;
    std::lock_guard<std::mutex> held(choice.after_lock);
    if (!choice.after)
        return GST_PAD_PROBE_OK;
    return choice.after->admits(GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)))
               ? GST_PAD_PROBE_OK
               : GST_PAD_PROBE_DROP;
}

// Drops what reaches a decoder before its first keyframe, then goes (see the constant).
GstPadProbeReturn drop_until_keyframe(GstPad*, GstPadProbeInfo* info, gpointer data) noexcept {
    auto* dropped = static_cast<unsigned*>(data);
    if (!GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info), GST_BUFFER_FLAG_DELTA_UNIT))
        return GST_PAD_PROBE_REMOVE;
    if (++*dropped > most_dropped_before_keyframe)
        return GST_PAD_PROBE_REMOVE;
    return GST_PAD_PROBE_DROP;
}

void forget_count(gpointer data) {
    delete static_cast<unsigned*>(data);
}

GstPad* native_pad(Call& call, py::handle pad) {
    require_instance(call, pad, "pad", gst_, pad_);
    return GST_PAD(pygobject_get(pad.ptr()));
}

gulong add_probe(GstPad* pad, GstPadProbeType mask, GstPadProbeCallback callback, gpointer data,
                 GDestroyNotify destroy) {
    py::gil_scoped_release unlocked;
    return gst_pad_add_probe(pad, mask, callback, data, destroy);
}

// A frame rate limit: a positive, finite number of frames a second, or None.
std::optional<double> rate_of(py::handle value, bool none_allowed) {
    if (none_allowed && value.is_none())
        return std::nullopt;
    double rate = PyFloat_AsDouble(value.ptr());
    if (rate == -1.0 && PyErr_Occurred())
        throw py::error_already_set();
    if (!(rate > 0) || !std::isfinite(rate))
        raise(PyExc_ValueError, fstring(py::str("max_framerate must be a positive, finite number, "
                                                "not "),
                                        steal(PyObject_Repr(value.ptr()))));
    return rate;
}

GstClockTime timestamp_of(py::handle value) {
    unsigned long long pts = PyLong_AsUnsignedLongLong(value.ptr());
    bool negative_or_huge = false;
    if (pts == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            throw py::error_already_set();
        PyErr_Clear();
        negative_or_huge = true;
    }
    if (!negative_or_huge && (pts == GST_CLOCK_TIME_NONE ||
                              pts <= std::uint64_t(std::numeric_limits<std::int64_t>::max())))
        return pts;
    raise(PyExc_ValueError, fstring(py::str("pts must be a time in nanoseconds from 0 to 2**63-1, "
                                            "or Gst.CLOCK_TIME_NONE, not "),
                                    steal(PyObject_Repr(value.ptr()))));
}

// --- RateLimiter ---------------------------------------------------------------------------------

constexpr const char* rate_limiter_doc =
    R"(Lets at most `max_framerate` frames a second through, on a grid of slots.

    Time is the frames' own timestamps, so a clip read faster than real time keeps one frame in
    so many of its own; frames without timestamps (a camera's MJPEG, say) go by the monotonic
    clock. The first frame at or after a slot fills it, so the frames kept average the limit
    rather than the next slower rate the input's spacing allows (12.5 a second of 25 is every
    second frame). A gap starts a new grid at the next frame; a timestamp that goes back (a
    restart, a new segment) starts afresh. The pipelines' probes (`FrameSampling`) apply the
    same limit in C.
    )";

constexpr Param limiter_init_params[] = {param("self"), param("max_framerate").annotated("float")};

py::object limiter_init(Call& call) {
    double rate = *rate_of(call[1], false);
    keep_state(call[0], limiter_slot_, limiter_capsule, std::make_shared<RateLimit>(rate));
    return py::none();
}

constexpr Param admits_params[] = {param("self"), param("pts").annotated("int")};

py::object admits(Call& call) {
    GstClockTime pts = timestamp_of(call[1]);
    auto limit = state_in<RateLimit>(call[0], limiter_slot_, limiter_capsule, "RateLimiter");
    std::int64_t now = 0;
    if (pts == GST_CLOCK_TIME_NONE) {
        // time.monotonic_ns(), the clock the probes read, as the module sees it now.
        py::object clock = invoke(getattr(call.global(time_), monotonic_ns_));
        now = PyLong_AsLongLong(clock.ptr());
        if (now == -1 && PyErr_Occurred())
            throw py::error_already_set();
    }
    return py::bool_(limit->admits(pts, now));
}

constexpr FunctionDef limiter_init_def = function(
    "__init__", "RateLimiter.__init__", limiter_init_params, limiter_init, nullptr, "None");
constexpr FunctionDef admits_def =
    function("admits", "RateLimiter.admits", admits_params, admits,
             "Whether the frame with this timestamp (nanoseconds, or Gst.CLOCK_TIME_NONE: it goes "
             "by time.monotonic_ns()) is kept",
             "bool");

// --- FrameSampling -------------------------------------------------------------------------------

constexpr const char* frame_sampling_doc =
    R"(One pipeline's choice of frames, made in C on its streaming threads: a rate limit, or
    keyframes only, or both.

    `gate_decoder(pad)` puts a gate on a decoder's sink pad, which drops what need not be
    decoded: the delta units with keyframes only; under the limit, intra-only frames it does not
    keep, and the rest of each group of pictures after the last frame it keeps (held back until
    that is known). `limit_decoded(pad)` applies the limit to decoded frames, where no gate
    applied it before their decoder.
    )";

ChoiceRef choice_of(py::handle self) {
    return state_in<Choice>(self, sampling_slot_, sampling_capsule, "FrameSampling");
}

constexpr Param sampling_init_params[] = {
    param("self"),
    param("max_framerate").annotated("Optional[float]"),
    param("keyframes_only").annotated("bool"),
};

py::object sampling_init(Call& call) {
    auto choice = std::make_shared<Choice>();
    choice->max_framerate = rate_of(call[1], true);
    choice->keyframes_only = truth(call[2]);
    if (choice->max_framerate)
        choice->after.emplace(*choice->max_framerate);
    keep_state(call[0], sampling_slot_, sampling_capsule, std::move(choice));
    return py::none();
}

constexpr Param pad_params[] = {param("self"), param("pad").annotated("Gst.Pad")};

py::object gate_decoder(Call& call) {
    GstPad* pad = native_pad(call, call[1]);
    auto* gate = new DecoderGate(choice_of(call[0]));
    // Flushing events reach only the probes that ask for them: a flush drops what is held.
    auto mask = GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                GST_PAD_PROBE_TYPE_EVENT_FLUSH);
    return py::int_(add_probe(pad, mask, gate_data, gate, forget_gate));
}

py::object limit_decoded(Call& call) {
    GstPad* pad = native_pad(call, call[1]);
    auto* held = new ChoiceRef(choice_of(call[0]));
    return py::int_(add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, limit_decoded_buffer, held,
                              forget_state<Choice>));
}

constexpr Param self_param[] = {param("self")};

py::object limited_before_decoding(Call& call) {
    return py::bool_(choice_of(call[0])->limited_before_decoding.load());
}

constexpr FunctionDef sampling_init_def = function(
    "__init__", "FrameSampling.__init__", sampling_init_params, sampling_init, nullptr, "None");
constexpr FunctionDef gate_decoder_def =
    function("gate_decoder", "FrameSampling.gate_decoder", pad_params, gate_decoder,
             "Puts the gate on a decoder's sink pad; returns the probe's id", "int");
constexpr FunctionDef limit_decoded_def = function(
    "limit_decoded", "FrameSampling.limit_decoded", pad_params, limit_decoded,
    "Applies the limit to the decoded frames that pass `pad`, unless a gate applies it before "
    "their decoder; returns the probe's id",
    "int");
constexpr FunctionDef limited_before_decoding_def = function(
    "limited_before_decoding", "FrameSampling.limited_before_decoding", self_param,
    limited_before_decoding, "Whether a gate applies the limit before the decoder", "bool");

// --- drop_before_keyframe ------------------------------------------------------------------------

constexpr const char* drop_before_keyframe_doc =
    R"(Drops what reaches the pad (a decoder's sink pad) before the first keyframe.

    A camera's stream is joined anywhere between two keyframes: what comes before the first
    refers to frames that never came, and a decoder makes grey pictures of it. The probe removes
    itself at the first keyframe, or after 300 buffers without one (a stream whose frames carry
    no keyframe marks at all is not held back for long).

    :param pad: The pad
    :return: The probe's id
    )";

constexpr Param drop_before_keyframe_params[] = {param("pad").annotated("Gst.Pad")};

py::object drop_before_keyframe(Call& call) {
    GstPad* pad = native_pad(call, call[0]);
    return py::int_(add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, drop_until_keyframe, new unsigned(0),
                              forget_count));
}

}  // namespace

const FunctionDef drop_before_keyframe_def =
    function("drop_before_keyframe", "drop_before_keyframe", drop_before_keyframe_params,
             drop_before_keyframe, drop_before_keyframe_doc, "int");

py::object make_rate_limiter_class(py::module_ m) {
    auto fn = [&](const FunctionDef& def) { return make_function(m, def); };
    return make_class(m, "RateLimiter", py::tuple(), rate_limiter_doc,
                      {
                          {"__init__", fn(limiter_init_def)},
                          {"admits", fn(admits_def)},
                      });
}

py::object make_frame_sampling_class(py::module_ m) {
    auto fn = [&](const FunctionDef& def) { return make_function(m, def); };
    return make_class(
        m, "FrameSampling", py::tuple(), frame_sampling_doc,
        {
            {"__init__", fn(sampling_init_def)},
            {"gate_decoder", fn(gate_decoder_def)},
            {"limit_decoded", fn(limit_decoded_def)},
            {"limited_before_decoding", make_property(m, limited_before_decoding_def)},
        });
}

}  // namespace plumo::gstreamer
