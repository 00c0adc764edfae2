// In the thread-sanitizer tree: GLib and GStreamer are not instrumented and
// hand objects between their threads with their own futex-based locks, which
// the sanitizer cannot see. Without these, every RTSP camera reports races
// inside GStreamer (an object allocated by one streaming thread and freed by
// another). The simulator's own code stays checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libgio-2.0.so\n"
         "called_from_lib:libgstreamer-1.0.so\n"
         "called_from_lib:libgstbase-1.0.so\n"
         "called_from_lib:libgstapp-1.0.so\n"
         "called_from_lib:libgstvideo-1.0.so\n"
         "called_from_lib:libgstrtp-1.0.so\n"
         "called_from_lib:libgstrtsp-1.0.so\n"
         "called_from_lib:libgstrtspserver-1.0.so\n"
         "called_from_lib:libgstnet-1.0.so\n"
         "called_from_lib:libgstsdp-1.0.so\n"
         "called_from_lib:libgstx264.so\n"
         "called_from_lib:libgstx265.so\n"
         "called_from_lib:libgstjpeg.so\n"
         "called_from_lib:libx264.so\n"
         "called_from_lib:libx265.so\n"
         "race:libglib-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libgstreamer-1.0.so\n"
         "race:libgstbase-1.0.so\n"
         "race:libgstapp-1.0.so\n"
         "race:libgstrtspserver-1.0.so\n";
}
#endif
