package ru.halvorit.crypto.pkcs11;

import java.security.GeneralSecurityException;

/**
 * A key-store operation failed. Carries the status the library handed to
 * {@link PKCS11Wrapper#setError(int)} (the token's or carrier's status, 5 when the failure did
 * not come from a token) and the reason texts it recorded.
 */
public class KeyContainerException extends GeneralSecurityException {
  private static final long serialVersionUID = 1L;

  private final String operation;
  private final int errorCode;
  private final String reason;
  private final String detail;

  public KeyContainerException(String operation, String path, int errorCode, String reason,
      String detail) {
    super(message(operation, path, errorCode, reason, detail));
    this.operation = operation;
    this.errorCode = errorCode;
    this.reason = reason == null ? "" : reason;
    this.detail = detail == null ? "" : detail;
  }

  private static String message(String operation, String path, int code, String reason,
      String detail) {
    StringBuilder b = new StringBuilder(operation).append(" failed for ").append(path);
    if (reason != null && !reason.isEmpty()) b.append(": ").append(reason);
    if (detail != null && !detail.isEmpty() && !detail.equals(reason)) {
      b.append(" (").append(detail).append(')');
    }
    return b.append(String.format(" [status 0x%x]", code)).toString();
  }

  /** The native method that failed, for example "nativeSign". */
  public String getOperation() {
    return operation;
  }

  /** The status handed to setError: the token's or carrier's, or 5. */
  public int getErrorCode() {
    return errorCode;
  }

  /** The entry point's reason, as the library names it ("PSE not found or corrupted"). */
  public String getReason() {
    return reason;
  }

  /** The innermost reason the library recorded (empty when none). */
  public String getDetail() {
    return detail;
  }
}
