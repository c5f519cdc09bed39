#pragma once
// Exports the 31 calls of api_impl.h under the names the including file gives them (SIM_N_…),
// and checks each against the driver's function type.
#define SIM_STR2(x) #x
#define SIM_STR(x) SIM_STR2(x)
#define SIM_CHECK(fn, type) static_assert(std::is_same_v<decltype(&fn), jarnel::type>)

using jarnel::tsdk_handle;
using jarnel::TOKEN_SDK_INFO;

SIM_EXPORT int SIM_N_readers_open(tsdk_handle* e) {
  return sim::readers_open(SIM_STR(SIM_N_readers_open), e);
}
SIM_EXPORT int SIM_N_readers_next(tsdk_handle e, char* name, std::uint32_t size, int* present) {
  return sim::readers_next(SIM_STR(SIM_N_readers_next), e, name, size, present);
}
SIM_EXPORT int SIM_N_readers_close(tsdk_handle e) {
  return sim::close_plain(SIM_STR(SIM_N_readers_close), e, sim::Object::ReaderEnum);
}
SIM_EXPORT int SIM_N_bind(const char* reader, tsdk_handle* t) {
  return sim::bind(SIM_STR(SIM_N_bind), reader, t);
}
SIM_EXPORT int SIM_N_unbind(tsdk_handle t) { return sim::unbind(SIM_STR(SIM_N_unbind), t); }
SIM_EXPORT int SIM_N_login(tsdk_handle t, const char* pin) {
  return sim::login(SIM_STR(SIM_N_login), t, pin);
}
SIM_EXPORT int SIM_N_logout(tsdk_handle t) { return sim::logout(SIM_STR(SIM_N_logout), t); }
SIM_EXPORT int SIM_N_pin_change(tsdk_handle t, const char* o, const char* n) {
  return sim::pin_change(SIM_STR(SIM_N_pin_change), t, o, n);
}
SIM_EXPORT int SIM_N_pin_max(tsdk_handle t, std::uint32_t* n) {
  return sim::pin_length(SIM_STR(SIM_N_pin_max), t, n, 32);
}
SIM_EXPORT int SIM_N_pin_min(tsdk_handle t, std::uint32_t* n) {
  return sim::pin_length(SIM_STR(SIM_N_pin_min), t, n, 4);
}
SIM_EXPORT int SIM_N_label(tsdk_handle t, char* out, std::uint32_t size) {
  return sim::text(SIM_STR(SIM_N_label), t, out, size, true);
}
SIM_EXPORT int SIM_N_token_id(tsdk_handle t, char* out, std::uint32_t size) {
  return sim::text(SIM_STR(SIM_N_token_id), t, out, size, false);
}
SIM_EXPORT int SIM_N_root_open(tsdk_handle t, tsdk_handle* d, std::uint16_t id, std::uint32_t) {
  return sim::root_open(SIM_STR(SIM_N_root_open), t, d, id);
}
SIM_EXPORT int SIM_N_dir_create(tsdk_handle p, std::uint16_t id, std::uint32_t, tsdk_handle* d) {
  return sim::dir_create(SIM_STR(SIM_N_dir_create), p, id, d);
}
SIM_EXPORT int SIM_N_dir_open(tsdk_handle p, std::uint16_t id, tsdk_handle* d) {
  return sim::dir_open(SIM_STR(SIM_N_dir_open), p, id, d);
}
SIM_EXPORT int SIM_N_dir_info(tsdk_handle d, TOKEN_SDK_INFO* i) {
  return sim::dir_info(SIM_STR(SIM_N_dir_info), d, i);
}
SIM_EXPORT int SIM_N_dir_delete(tsdk_handle d) {
  return sim::dir_delete(SIM_STR(SIM_N_dir_delete), d);
}
SIM_EXPORT int SIM_N_dir_close(tsdk_handle d) { return sim::dir_close(SIM_STR(SIM_N_dir_close), d); }
SIM_EXPORT int SIM_N_dir_enum_open(tsdk_handle d, tsdk_handle* e) {
  return sim::enum_open(SIM_STR(SIM_N_dir_enum_open), d, e, true);
}
SIM_EXPORT int SIM_N_dir_enum_next(tsdk_handle e, TOKEN_SDK_INFO* i) {
  return sim::enum_next(SIM_STR(SIM_N_dir_enum_next), e, i);
}
SIM_EXPORT int SIM_N_dir_enum_close(tsdk_handle e) {
  return sim::close_plain(SIM_STR(SIM_N_dir_enum_close), e, sim::Object::InfoEnum);
}
SIM_EXPORT int SIM_N_files_enum_open(tsdk_handle d, tsdk_handle* e) {
  return sim::enum_open(SIM_STR(SIM_N_files_enum_open), d, e, false);
}
SIM_EXPORT int SIM_N_files_enum_next(tsdk_handle e, TOKEN_SDK_INFO* i) {
  return sim::enum_next(SIM_STR(SIM_N_files_enum_next), e, i);
}
SIM_EXPORT int SIM_N_files_enum_close(tsdk_handle e) {
  return sim::close_plain(SIM_STR(SIM_N_files_enum_close), e, sim::Object::InfoEnum);
}
SIM_EXPORT int SIM_N_file_open(tsdk_handle d, std::uint16_t id, tsdk_handle* f) {
  return sim::file_open(SIM_STR(SIM_N_file_open), d, id, f);
}
SIM_EXPORT int SIM_N_file_create(tsdk_handle d, std::uint16_t id, std::uint16_t size, int priv,
                                 tsdk_handle* f) {
  return sim::file_create(SIM_STR(SIM_N_file_create), d, id, size, priv, f);
}
SIM_EXPORT int SIM_N_file_read(tsdk_handle f, std::uint16_t off, void* out, std::uint16_t n) {
  return sim::file_read(SIM_STR(SIM_N_file_read), f, off, out, n);
}
SIM_EXPORT int SIM_N_file_write(tsdk_handle f, std::uint16_t off, const void* in, std::uint16_t n) {
  return sim::file_write(SIM_STR(SIM_N_file_write), f, off, in, n);
}
SIM_EXPORT int SIM_N_file_delete(tsdk_handle f) {
  return sim::file_delete(SIM_STR(SIM_N_file_delete), f);
}
SIM_EXPORT int SIM_N_file_info(tsdk_handle f, TOKEN_SDK_INFO* i) {
  return sim::file_info(SIM_STR(SIM_N_file_info), f, i);
}
SIM_EXPORT int SIM_N_file_close(tsdk_handle f) {
  return sim::file_close(SIM_STR(SIM_N_file_close), f);
}

SIM_CHECK(SIM_N_readers_open, tsdk_readers_open_fn);
SIM_CHECK(SIM_N_readers_next, tsdk_readers_next_fn);
SIM_CHECK(SIM_N_bind, tsdk_bind_fn);
SIM_CHECK(SIM_N_login, tsdk_login_fn);
SIM_CHECK(SIM_N_root_open, tsdk_root_open_fn);
SIM_CHECK(SIM_N_dir_create, tsdk_dir_create_fn);
SIM_CHECK(SIM_N_dir_open, tsdk_dir_open_fn);
SIM_CHECK(SIM_N_dir_info, tsdk_info_fn);
SIM_CHECK(SIM_N_dir_enum_open, tsdk_enum_open_fn);
SIM_CHECK(SIM_N_dir_enum_next, tsdk_enum_next_fn);
SIM_CHECK(SIM_N_file_open, tsdk_file_open_fn);
SIM_CHECK(SIM_N_file_create, tsdk_file_create_fn);
SIM_CHECK(SIM_N_file_read, tsdk_file_read_fn);
SIM_CHECK(SIM_N_file_write, tsdk_file_write_fn);
