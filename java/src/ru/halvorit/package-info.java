/** Java half of the GOST key-carrier toolkit; the native methods live in libjarnel. */
package ru.halvorit;
